#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "queue.h"

namespace {

class QueueTest : public ::testing::Test {
  protected:
    void TearDown() override {
        while (q.count > 0)
            q.pop(&q);
    }
    void push(const char *text) {
        q.push(&q, strdup(text));
    }
    std::string head() {
        const char *text = q.peek(&q);
        return text ? text : "(null)";
    }
    Queue q = createQueue();
};

TEST_F(QueueTest, NewQueueIsEmpty) {
    EXPECT_EQ(q.count, 0);
    EXPECT_EQ(q.head, nullptr);
    EXPECT_EQ(q.peek(&q), nullptr);
}

TEST_F(QueueTest, DisplayListsTextsFromHead) {
    struct Case {
        std::vector<const char *> texts;
        const char *printed;
    };
    const Case cases[] = {
        {{}, "\nDisplay: No item in queue.\n\n\n"},
        {{"a"}, "\nDisplay: 1 item(s):\na\n\n"},
        {{"a", "b"}, "\nDisplay: 2 item(s):\na, b\n\n"},
        {{"LED ON", "", "x=1"}, "\nDisplay: 3 item(s):\nLED ON, , x=1\n\n"},
    };
    for (const Case &c : cases) {
        Queue fresh = createQueue();
        for (const char *t : c.texts)
            fresh.push(&fresh, strdup(t));
        testing::internal::CaptureStdout();
        fresh.display(&fresh);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.printed) << c.texts.size() << " texts";
        while (fresh.count > 0)
            fresh.pop(&fresh);
    }
}

// Texts leave in the order they were pushed, however pushes and pops
// interleave: what was popped, followed by what is left, is what was pushed.
// The tail stays the last node, through an emptying too. "-" pops.
TEST_F(QueueTest, TextsLeaveInPushOrder) {
    const std::vector<std::vector<std::string>> cases = {
        {"a", "b", "c", "-", "-"},
        {"one", "two", "three", "four", "five", "-", "-", "-", "-", "-"},
        {"a", "b", "-", "c", "-"},
        {"only", "-", "next"},
    };
    for (const auto &ops : cases) {
        std::vector<std::string> pushed, taken;
        for (const std::string &op : ops) {
            if (op == "-") {
                taken.push_back(head());
                q.pop(&q);
            } else {
                push(op.c_str());
                pushed.push_back(op);
            }
        }
        const size_t left = pushed.size() - taken.size();
        for (Node *n = q.head; n; n = n->next)
            taken.push_back(n->data);
        EXPECT_EQ(taken, pushed);
        EXPECT_EQ(q.count, static_cast<int>(left)) << ops.size() << " operations";
        if (left == 0) {
            EXPECT_EQ(q.head, nullptr);
        } else {
            EXPECT_EQ(q.tail->data, pushed.back());
            EXPECT_EQ(q.tail->next, nullptr);
        }
        while (q.count > 0)
            q.pop(&q);
    }
}

TEST_F(QueueTest, PopAndPeekOnEmptyQueueAreHarmless) {
    q.pop(&q);
    EXPECT_EQ(q.count, 0);
    EXPECT_EQ(q.peek(&q), nullptr);

    push("a");
    q.pop(&q);
    q.pop(&q); // one too many
    EXPECT_EQ(q.count, 0);
    EXPECT_EQ(q.head, nullptr);
    EXPECT_EQ(q.peek(&q), nullptr);

    push("b"); // still usable afterwards
    EXPECT_EQ(q.count, 1);
    EXPECT_EQ(head(), "b");
}

} // namespace
