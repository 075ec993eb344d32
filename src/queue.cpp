#include "queue.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "log_text.h"

static void push(Queue *q, char *data) {
    Node *node = (Node *)malloc(sizeof(Node));
    if (node == NULL) {
        print_escaped_line("Out of memory, command dropped: ", data);
        free(data);
        return;
    }
    node->data = data;
    node->next = NULL;
    if (q->head == NULL)
        q->head = node;
    else
        q->tail->next = node;
    q->tail = node;
    q->count++;
    q->bytes += strlen(data);
}

static void pop(Queue *q) {
    Node *node = q->head;
    if (node == NULL)
        return;
    q->head = node->next;
    q->count--;
    q->bytes -= strlen(node->data);
    free(node->data);
    free(node);
}

static void take_all(Queue *q, Queue *from) {
    if (from->head == NULL)
        return;
    if (q->head == NULL)
        q->head = from->head;
    else
        q->tail->next = from->head;
    q->tail = from->tail;
    q->count += from->count;
    q->bytes += from->bytes;
    from->head = NULL;
    from->tail = NULL;
    from->count = 0;
    from->bytes = 0;
}

static char *peek(Queue *q) {
    return q->head ? q->head->data : NULL;
}

static void display(Queue *q) {
    printf("\nDisplay: ");
    if (q->count == 0) {
        printf("No item in queue.\n");
    } else {
        printf("%d item(s):\n", q->count);
        Node *node = q->head;
        for (int i = 0; i < q->count && node; i++, node = node->next) {
            if (i > 0)
                printf(", ");
            print_escaped(node->data);
        }
    }
    printf("\n\n");
}

Queue createQueue(void) {
    Queue q;
    q.head = NULL;
    q.tail = NULL;
    q.push = push;
    q.pop = pop;
    q.peek = peek;
    q.take_all = take_all;
    q.display = display;
    q.count = 0;
    q.bytes = 0;
    return q;
}
