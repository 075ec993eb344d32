// The bridge's topics: the compiled-in prefix (BRIDGE_TOPIC_PREFIX, "%c"
// standing for the client id) before each of the bare names.
//
// Threads: topics_init runs once on the main thread at start-up, after the
// client id is known and before any other thread starts; afterwards every
// thread only reads the strings.
#ifndef BRIDGE_TOPICS_H
#define BRIDGE_TOPICS_H

#include <stdbool.h>

// Until topics_init, the bare names: the in-process tests and fuzzers,
// which never run it, see the topics of a build without a prefix.
extern const char *topic_login;
extern const char *topic_commands;
extern const char *topic_status_update;
extern const char *topic_info;
extern const char *topic_availability; // the unit's "online"/"offline"

// Builds the topics from the prefix and ID. False when one does not fit
// (the caller reports it and stops).
bool topics_init(const char *id);

#endif
