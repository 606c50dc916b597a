/* A growable stack of untyped pointers. */
#ifndef QEL_SRC_QEL_STACK_H
#define QEL_SRC_QEL_STACK_H

#include <cstdint>

extern "C" {

typedef void (*qel_stack_free_function)(void* item);

typedef struct qel_stack {
    void** slots;      /* bottom first; null until the first push */
    uint32_t capacity; /* slots allocated */
    uint32_t count;    /* slots in use */
    qel_stack_free_function free_function; /* for discarded items; may be null */
} qel_stack;

/* An empty stack, or null when it cannot be allocated. */
qel_stack* qel_stack_new(qel_stack_free_function free_function) noexcept;
/* False, with a record printed and nothing pushed, when the slots cannot grow. */
bool qel_stack_push(qel_stack* stack, void* item) noexcept;
/* The top item, removed; null when the stack is empty. */
void* qel_stack_pop(qel_stack* stack) noexcept;
/* Discards every item, top first, through the free function (none: the
 * items stay); the slots are kept for reuse. */
void qel_stack_clear(qel_stack* stack) noexcept;
/* Clears, then releases the slots and the stack. */
void qel_stack_free(qel_stack* stack) noexcept;
}

#endif /* QEL_SRC_QEL_STACK_H */
