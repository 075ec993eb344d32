// The certificates of the broker, the bridge and the remote party.
#ifndef BRIDGE_TESTS_PEER_CERTS_H
#define BRIDGE_TESTS_PEER_CERTS_H

#include <string>

namespace e2e {

// Certificates made by scripts/make-certs.sh (EC P-256, valid for two days)
// once into the build tree, for every test process. All files are
// world-readable: the broker reads them after dropping to its own user.
struct Certs {
    std::string dir;
    std::string ca, ca_key;                          // the CA the bridge trusts
    std::string broker_cert, broker_key;             // SAN DNS:localhost,IP:127.0.0.1, serverAuth
    std::string client_cert, client_key;             // clientAuth, signed by ca
    std::string other_ca, other_ca_key;              // an unrelated CA
    std::string other_broker_cert, other_broker_key; // SAN localhost, signed by other_ca
    std::string other_client_cert, other_client_key; // clientAuth, signed by other_ca
    std::string elsewhere_cert, elsewhere_key;       // signed by ca, SAN DNS:elsewhere.invalid only
};
// Throws std::runtime_error with the script's output when generation fails.
const Certs &certs();

// Copies CA, CERT and KEY into DIR under the names the test build reads:
// crt.ca.qx.pem, tls-cert.pem, tls-key.pem (the key private); by default
// certs()'s ca, client_cert and client_key.
void install_bridge_certs(const std::string &dir, const std::string &ca, const std::string &cert,
                          const std::string &key);
void install_bridge_certs(const std::string &dir);

} // namespace e2e

#endif
