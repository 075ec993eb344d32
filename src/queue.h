// The command queue: a first-in, first-out list of command texts.
//
// The record carries its operations in function slots; callers reach them
// through the slots (queue.push(&queue, text)), never by name, and read
// `count` and `bytes` directly. The module has no lock: the bridge guards
// its one instance with bridge_lock (see bridge.h).
#ifndef BRIDGE_QUEUE_H
#define BRIDGE_QUEUE_H

#include <stddef.h>

struct Node {
    char *data; // the command text, owned by the node
    Node *next; // null at the end
};

struct Queue {
    Node *head; // null when the queue is empty
    Node *tail; // meaningful only while head is non-null
    // Appends a heap text (from malloc) at the tail; the queue owns it from
    // then on. If no node can be allocated the text is freed and dropped,
    // with one line on standard output.
    void (*push)(Queue *q, char *data);
    // Removes the head and frees it and its text. Does nothing on an empty
    // queue.
    void (*pop)(Queue *q);
    // The head's text, still owned by the queue; null on an empty queue.
    char *(*peek)(Queue *q);
    // Moves every node of FROM, in order, to the tail of Q; FROM is left
    // empty. Takes no allocation, so a list built elsewhere joins the queue
    // in a moment.
    void (*take_all)(Queue *q, Queue *from);
    // Prints the contents on standard output (diagnostics only).
    void (*display)(Queue *q);
    int count; // number of nodes
    // Bytes of command text held, terminators excluded: kept by push, pop
    // and take_all, so it is right wherever a command leaves.
    size_t bytes;
};

// An empty queue with its five slots set, returned by value.
Queue createQueue(void);

#endif
