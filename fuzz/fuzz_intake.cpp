// Command intake under arbitrary messages: any topic, any payload bytes (NULs
// included), with or without a command outstanding.
//
// Input: one flags byte, then
//   flags bit 0 set:   the topic is "commands" and the payload is the rest;
//   flags bit 0 clear: the topic is the bytes up to the first NUL and the
//                      payload is what follows that NUL.
//   flags bit 1:       a command is already outstanding (bit 2: acknowledged).
//
// After each message: the queue is consistent and holds what the ";" rule
// makes of the payload up to its first NUL, unless that list would take the
// queue past its bound; when no command was outstanding,
// the line carries exactly the first new command, and otherwise nothing.
#include "fuzz_line.h"
#include "settings.h"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char *data, size_t size) {
    restart_after_timer();
    // Keeps the longest command below what the pty buffers, since nothing
    // reads the line while the bridge writes to it.
    if (size < 1 || size > 4096)
        return -1;
    unsigned flags = data[0];
    std::string topic = "commands";
    const unsigned char *payload = data + 1;
    size_t len = size - 1;
    if (!(flags & 1)) {
        const unsigned char *nul = (const unsigned char *)memchr(payload, '\0', len);
        size_t topic_len = nul ? (size_t)(nul - payload) : len;
        topic.assign((const char *)payload, topic_len);
        size_t skip = nul ? topic_len + 1 : len;
        payload += skip;
        len -= skip;
    }

    std::vector<std::string> expected;
    if (flags & 2) {
        queue.push(&queue, strdup("outstanding"));
        expected.push_back("outstanding");
        exchange_reset((flags & 4) ? AWAITING_REPORT : AWAITING_ACK);
    }
    bool was_empty = expected.empty();
    int idle_before = IDLE;

    deliver(topic, payload, len);
    // The handler only queues; the exchange's cycle writes. Not with a
    // command made outstanding above: it has no send time, so the cycle's
    // deadline would give it up.
    if (!(flags & 2))
        serial_reads_cycle();

    std::vector<std::string> added;
    if (topic == "commands" && len > 0)
        added = split(payload, len);
    // A list that would take the queue past its bound is dropped whole.
    if (expected.size() + added.size() > (size_t)settings.queued_commands_max)
        added.clear();
    expected.insert(expected.end(), added.begin(), added.end());

    check_queue();
    FUZZ_CHECK(queued() == expected, "the queue holds what the \";\" rule makes of the payload");
    bool sends = was_empty && !added.empty();
    line_expect(sends ? added[0] : std::string(),
                "the line carries the first command when none was outstanding, else nothing");
    FUZZ_CHECK(IDLE == (sends ? 0 : idle_before),
               "a sent command awaits its acknowledgement, anything else keeps the mode");
    FUZZ_CHECK(published.empty(), "intake publishes nothing");
    bridge_reset();
    return 0;
}
