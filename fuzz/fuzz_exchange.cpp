// The exchange loop driven by a script of device bytes, command lists and
// poll cycles, all on one thread, checked step by step against a model of
// the line protocol's host side.
//
// Input: a sequence of operations, each one opcode byte (taken modulo 4)
// and its operands:
//   0 N BYTES...  the device writes N bytes (N is one byte; fewer if the
//                 input ends first)
//   1             the device writes "#"
//   2 N BYTES...  a command list of N bytes arrives on "commands" (N = 0:
//                 an empty message)
//   3             one poll cycle of the exchange loop
//
// After each operation: the queue is consistent, never popped while empty,
// and holds what the model holds; the mode is 0 or 1, idle whenever nothing
// is queued, and as the model says; every publish is a 100-byte report, the
// bytes read in that cycle followed by zeros, on "info" when it starts with
// "!" and on "status_update" otherwise; the line carries exactly what the
// model sends.
#include "fuzz_line.h"

static void (*real_pop)(Queue *q);

static void checked_pop(Queue *q) {
    FUZZ_CHECK(q->head != NULL && q->count > 0, "the bridge never removes from an empty queue");
    real_pop(q);
}

// The model's state, and what the step under test is expected to do.
struct Model {
    std::vector<std::string> queue;
    int idle = 1;
    bool written = false; // the head of the queue was sent and awaits its report
    std::string waiting;  // device bytes the bridge has not read yet
    std::string report;   // bytes the step publishes as a report ("" for none)
    std::string line;     // bytes the step writes to the line
};

static void send_head(Model &m) {
    m.idle = 0;
    m.written = true;
    m.line += m.queue[0];
}

// The handler only queues; the exchange writes.
static void command_list(Model &m, const unsigned char *payload, size_t n) {
    std::vector<std::string> added = split(payload, n);
    m.queue.insert(m.queue.end(), added.begin(), added.end());
}

// Every cycle first writes a queued head when the exchange is idle with
// nothing outstanding and nothing waiting (otherwise the report path
// sends), then reads all that is waiting: idle, as one report; awaiting, as
// noise up to a "#", after which the rest is flushed.
static void poll_cycle(Model &m) {
    if (m.idle && !m.written && !m.queue.empty() && m.waiting.empty())
        send_head(m);
    std::string got;
    got.swap(m.waiting);
    if (!m.idle) {
        if (got.find('#') != std::string::npos)
            m.idle = 1;
        return;
    }
    if (got.empty())
        return;
    m.report = got.substr(0, 100);
    m.line = "#\n";
    if (got[0] != '!' && m.written) {
        m.queue.erase(m.queue.begin());
        m.written = false;
    }
    if (!m.written && !m.queue.empty())
        send_head(m);
}

static void check_step(const Model &m) {
    check_queue();
    FUZZ_CHECK(IDLE == 0 || IDLE == 1, "the mode is 0 or 1");
    FUZZ_CHECK(queue.count > 0 || IDLE == 1, "with nothing queued the bridge is idle");
    FUZZ_CHECK(queued() == m.queue, "the queue holds what the model holds");
    FUZZ_CHECK(IDLE == m.idle, "the mode is what the model says");
    FUZZ_CHECK(exchange_commands_not_sent() == queue.count - (m.written ? 1 : 0),
               "the head is written when the model writes it");
    FUZZ_CHECK(published.size() == (m.report.empty() ? 0u : 1u),
               "one publish per report, none otherwise");
    for (const Published &p : published) {
        FUZZ_CHECK(p.len == 100, "every report is published with 100 bytes");
        FUZZ_CHECK(p.qos == 1 && !p.retain, "reports go with QoS 1, not retained");
        FUZZ_CHECK(p.topic == (m.report[0] == '!' ? "info" : "status_update"),
                   "reports starting with ! go to info, the others to status_update");
        FUZZ_CHECK(p.payload == m.report + std::string(100 - m.report.size(), '\0'),
                   "a report carries the bytes read in its cycle, then zeros");
    }
    published.clear();
    line_expect(m.line, "the line carries what the model sends");
}

extern "C" int LLVMFuzzerTestOneInput(const unsigned char *data, size_t size) {
    restart_after_timer();
    real_pop = queue.pop;
    queue.pop = checked_pop;

    Model m;
    size_t pos = 0;
    while (pos < size) {
        unsigned op = data[pos++] % 4;
        size_t n = 0;
        if (op == 0 || op == 2) {
            n = pos < size ? data[pos++] : 0;
            if (n > size - pos)
                n = size - pos;
        }
        const unsigned char *bytes = op == 1 ? (const unsigned char *)"#" : data + pos;
        if (op == 1)
            n = 1;
        else
            pos += n;
        m.report.clear();
        m.line.clear();
        switch (op) {
        case 0:
        case 1:
            // Bounded so that the pty never fills while nothing reads it.
            if (n > 0 && m.waiting.size() + n <= 2048) {
                device_sends(bytes, n);
                m.waiting.append((const char *)bytes, n);
            }
            break;
        case 2:
            deliver("commands", bytes, n);
            command_list(m, bytes, n);
            break;
        case 3:
            serial_reads_cycle();
            acknowledge_publishes();
            poll_cycle(m);
            FUZZ_CHECK(serial_available() == 0, "a cycle reads everything waiting");
            break;
        }
        check_step(m);
    }
    queue.pop = real_pop;
    bridge_reset();
    return 0;
}
