// The one module compiled against the generated bridge_config.h: each build
// of the bridge compiles it for its own settings and links it with the
// modules, which are compiled once (settings.h).
#include "settings.h"

#include "bridge_config.h"

const Settings settings = {
    BRIDGE_SERIAL_DEVICE,       BRIDGE_SERIAL_BAUD,
    BRIDGE_BROKER_HOST,         BRIDGE_BROKER_PORT,
    BRIDGE_KEEPALIVE,           BRIDGE_CA_FILE,
    BRIDGE_CERT_FILE,           BRIDGE_KEY_FILE,
    BRIDGE_POLL_INTERVAL_MS,    BRIDGE_COMMAND_TIMEOUT_S,
    BRIDGE_QUEUED_COMMANDS_MAX, BRIDGE_QUEUED_BYTES_MAX,
    BRIDGE_HELD_REPORTS_MAX,    BRIDGE_RECONNECT_DELAY_MAX_S,
    BRIDGE_REPORT_GAP_MS,       BRIDGE_CONNECT_TIMEOUT_S,
    BRIDGE_TOPIC_PREFIX,        BRIDGE_AVAILABILITY,
    BRIDGE_SERIAL_REOPEN,       BRIDGE_CLEAN_SESSION,
};
