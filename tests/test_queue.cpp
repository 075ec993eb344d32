#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "queue.h"

namespace {

// What F prints on standard output.
std::string capture_stdout(const std::function<void()> &f) {
    fflush(stdout);
    FILE *tmp = tmpfile();
    int saved = dup(STDOUT_FILENO);
    dup2(fileno(tmp), STDOUT_FILENO);
    f();
    fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    std::string out;
    rewind(tmp);
    char buf[256];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), tmp)) > 0)
        out.append(buf, n);
    fclose(tmp);
    return out;
}

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
    EXPECT_EQ(capture_stdout([&] { q.display(&q); }), "\nDisplay: No item in queue.\n\n\n");
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
        EXPECT_EQ(capture_stdout([&] { fresh.display(&fresh); }), c.printed)
            << c.texts.size() << " texts";
        while (fresh.count > 0)
            fresh.pop(&fresh);
    }
}

TEST_F(QueueTest, TwoPopsAfterThreePushesLeaveTheLast) {
    push("a");
    push("b");
    push("c");
    q.pop(&q);
    q.pop(&q);
    EXPECT_EQ(q.count, 1);
    EXPECT_EQ(head(), "c");
    EXPECT_EQ(q.head, q.tail);
    EXPECT_EQ(q.head->next, nullptr);
}

TEST_F(QueueTest, PushAfterEmptyingMakesNewNodeHeadAndTail) {
    push("only");
    q.pop(&q);
    EXPECT_EQ(q.count, 0);
    EXPECT_EQ(q.head, nullptr);

    push("next");
    ASSERT_NE(q.head, nullptr);
    EXPECT_EQ(q.head, q.tail);
    EXPECT_STREQ(q.head->data, "next");
    EXPECT_EQ(q.head->next, nullptr);
    EXPECT_EQ(q.count, 1);
}

TEST_F(QueueTest, TextsLeaveInPushOrder) {
    const std::vector<std::string> texts = {"one", "two", "three", "four", "five"};
    for (const auto &t : texts)
        push(t.c_str());
    EXPECT_EQ(q.count, 5);
    EXPECT_STREQ(q.tail->data, "five");
    for (size_t i = 0; i < texts.size(); i++) {
        EXPECT_EQ(head(), texts[i]);
        q.pop(&q);
        EXPECT_EQ(q.count, static_cast<int>(texts.size() - i - 1));
    }
    EXPECT_EQ(q.head, nullptr);
}

TEST_F(QueueTest, PushInterleavedWithPopKeepsOrder) {
    push("a");
    push("b");
    q.pop(&q);
    push("c");
    EXPECT_EQ(head(), "b");
    q.pop(&q);
    EXPECT_EQ(head(), "c");
    EXPECT_EQ(q.count, 1);
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
