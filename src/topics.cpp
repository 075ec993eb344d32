#include "topics.h"

#include <string.h>

#include "settings.h"

// Room for a prefix of about 100 bytes with a 17-character id in it, and
// the longest name; brokers take far longer topics, a unit needs no more.
#define TOPIC_SIZE 128

const char *topic_login = "login";
const char *topic_commands = "commands";
const char *topic_status_update = "status_update";
const char *topic_info = "info";
const char *topic_availability = "availability";

static char login_buf[TOPIC_SIZE];
static char commands_buf[TOPIC_SIZE];
static char status_update_buf[TOPIC_SIZE];
static char info_buf[TOPIC_SIZE];
static char availability_buf[TOPIC_SIZE];

// Appends N bytes of S to BUF at *USED; false when they do not fit with the
// terminating NUL.
static bool append(char *buf, size_t *used, const char *s, size_t n) {
    if (*used + n >= TOPIC_SIZE)
        return false;
    memcpy(buf + *used, s, n);
    *used += n;
    buf[*used] = '\0';
    return true;
}

// BUF = the prefix with "%c" replaced by ID, then NAME.
static bool build(char *buf, const char *id, const char *name) {
    size_t used = 0;
    buf[0] = '\0';
    const char *p = settings.topic_prefix;
    for (const char *mark; (mark = strstr(p, "%c")) != NULL; p = mark + 2) {
        if (!append(buf, &used, p, mark - p) || !append(buf, &used, id, strlen(id)))
            return false;
    }
    return append(buf, &used, p, strlen(p)) && append(buf, &used, name, strlen(name));
}

bool topics_init(const char *id) {
    if (!build(login_buf, id, "login") || !build(commands_buf, id, "commands") ||
        !build(status_update_buf, id, "status_update") || !build(info_buf, id, "info") ||
        !build(availability_buf, id, "availability"))
        return false;
    topic_login = login_buf;
    topic_commands = commands_buf;
    topic_status_update = status_update_buf;
    topic_info = info_buf;
    topic_availability = availability_buf;
    return true;
}
