// The bridge's compiled-in settings (CMake cache variables, README), as data:
// settings.cpp, compiled once for each build of the bridge against that
// build's generated bridge_config.h, defines them, so the other modules are
// compiled once for every build.
//
// Constant-initialised and never written: read from any thread, at any time
// (before main too), with no lock.
#ifndef BRIDGE_SETTINGS_H
#define BRIDGE_SETTINGS_H

struct Settings {
    const char *serial_device;
    int serial_baud;
    const char *broker_host;
    int broker_port;
    int keepalive;
    const char *ca_file;
    const char *cert_file;
    const char *key_file;
    int poll_interval_ms;  // 0: event-driven
    int command_timeout_s; // 0: wait forever
    int queued_commands_max;
    long queued_bytes_max;
    int held_reports_max;
    int reconnect_delay_max_s; // 0: each wait drawn between 0.5 and 1 s
    int report_gap_ms;
    int connect_timeout_s;
    const char *topic_prefix;
    bool availability;
    bool serial_reopen;
    bool clean_session;
};

extern const Settings settings;

// Without a poll interval the exchange thread waits on the line instead: a
// report ends when the line has been quiet for settings.report_gap_ms.
inline bool event_driven(void) {
    return settings.poll_interval_ms == 0;
}

#endif
