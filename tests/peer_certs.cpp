#include "peer_certs.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <stdexcept>

#include "peer_process.h"

#ifndef E2E_CERT_DIR
#error "E2E_CERT_DIR must be defined"
#endif

namespace e2e {

namespace {

// Made by scripts/make-certs.sh into the build tree once, shared by every
// test process; a lock lets one of them make them while the others wait.
// Remade after a day, as they are valid for two.
Certs generate_certs() {
    Certs c;
    c.dir = E2E_CERT_DIR;
    std::filesystem::create_directories(c.dir);
    chmod(c.dir.c_str(), 0755);
    int lock = open((c.dir + "/.lock").c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0644);
    if (lock < 0 || flock(lock, LOCK_EX) != 0)
        throw std::runtime_error("lock " + c.dir + ": " + strerror(errno));
    std::string done = c.dir + "/.complete";
    struct stat st;
    if (stat(done.c_str(), &st) != 0 || time(nullptr) - st.st_mtime > 24 * 3600) {
        unlink(done.c_str());
        run_script("make-certs.sh", {c.dir, "client"}, c.dir);
        write_file(done, "");
    }
    close(lock);
    auto pair = [&](const char *name, std::string *cert, std::string *key) {
        *cert = c.dir + "/" + name + ".pem";
        *key = c.dir + "/" + name + ".key";
    };
    pair("ca", &c.ca, &c.ca_key);
    pair("broker", &c.broker_cert, &c.broker_key);
    pair("client", &c.client_cert, &c.client_key);
    pair("other-ca", &c.other_ca, &c.other_ca_key);
    pair("other-broker", &c.other_broker_cert, &c.other_broker_key);
    pair("other-client", &c.other_client_cert, &c.other_client_key);
    pair("elsewhere", &c.elsewhere_cert, &c.elsewhere_key);
    return c;
}

} // namespace

const Certs &certs() {
    static const Certs c = generate_certs();
    return c;
}

void install_bridge_certs(const std::string &dir, const std::string &ca, const std::string &cert,
                          const std::string &key) {
    copy_file(ca, dir + "/crt.ca.qx.pem");
    copy_file(cert, dir + "/tls-cert.pem");
    copy_file(key, dir + "/tls-key.pem", 0600);
}

void install_bridge_certs(const std::string &dir) {
    const Certs &c = certs();
    install_bridge_certs(dir, c.ca, c.client_cert, c.client_key);
}

} // namespace e2e
