// What the bridge finds on its board: the serial line to the device (a pty
// the test plays the device on) and busybox's ifconfig.
#ifndef BRIDGE_TESTS_PEER_DEVICE_H
#define BRIDGE_TESTS_PEER_DEVICE_H

#include <string>

#include "peer_basics.h"
#include "pty_line.h"

namespace e2e {

// The serial line: a raw pty pair (pty_line.h). The test plays the device on
// the master side.
class Pty {
  public:
    Pty();
    ~Pty();
    Pty(const Pty &) = delete;
    Pty &operator=(const Pty &) = delete;
    const std::string &slave_path() const {
        return pair_.slave_path;
    }
    int master() const {
        return pair_.master;
    }
    // Symlinks PATH (DIR/ttyATH0 for the bridge) to the slave.
    void link(const std::string &path);
    // The device unplugged: both ends closed (the bridge's side hangs up)
    // and the link gone, as /dev/ttyUSB0 goes. A device on master() must be
    // stopped first.
    void hang_up();
    // Plugged in again: a new pair, linked where the old one was.
    void plug_in();
    void write(const std::string &bytes);
    // Up to N bytes: returns early once N have come, or what came within
    // TIMEOUT.
    std::string read_bytes(size_t n, Duration timeout);
    // Reads exactly as many bytes as EXPECTED has and compares.
    Outcome expect_bytes(const std::string &expected, Duration timeout);
    // Everything that arrives during D.
    std::string read_all_for(Duration d);
    // Success when nothing arrives during D.
    Outcome expect_silence(Duration d);

  private:
    simfw::PtyPair pair_;
    std::string link_;
};

// DIR/bin/ifconfig: a script (scripts/peer-files.sh) that prints
// DIR/bin/ifconfig.out: at first busybox's output for one interface that is
// up, with the hardware address MAC.
class FakeIfconfig {
  public:
    explicit FakeIfconfig(const std::string &dir, const std::string &mac = kMac);
    std::string output() const;
    const std::string &bin_dir() const {
        return bin_dir_;
    }
    void set_output(const std::string &text); // "" prints nothing

  private:
    std::string bin_dir_;
};

} // namespace e2e

#endif
