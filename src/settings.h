// The compiled-in settings (CMake cache variables, README) as data, defined
// by settings.cpp, the one module each build of the bridge compiles for its
// own bridge_config.h. Constant-initialised and never written: read from any
// thread, at any time, with no lock.
#ifndef BRIDGE_SETTINGS_H
#define BRIDGE_SETTINGS_H

struct Settings {
    const char *serial_device;
    int serial_baud;
    const char *broker_host;
    int broker_port, keepalive;
    const char *ca_file, *cert_file, *key_file;
    int poll_interval_ms, command_timeout_s, queued_commands_max;
    long queued_bytes_max;
    int held_reports_max, reconnect_delay_max_s, report_gap_ms, connect_timeout_s;
    const char *topic_prefix;
    bool availability, serial_reopen, clean_session;
};

extern const Settings settings;

// Without a poll interval the exchange thread waits on the line instead: a
// report ends when the line has been quiet for settings.report_gap_ms.
inline bool event_driven(void) {
    return settings.poll_interval_ms == 0;
}

#endif
