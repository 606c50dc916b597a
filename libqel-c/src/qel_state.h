/* The nesting state machine that writer and reader share: where in the tree
 * a stream stands, as the current record and the saved record of every
 * enclosing level, all in one growing array, so that opening a container or
 * a map entry costs no allocation of its own. */
#ifndef QEL_SRC_QEL_STATE_H
#define QEL_SRC_QEL_STATE_H

#include <cstdint>

#include "qel/qel.h"

/* Where a stream stands. */
enum {
    STATE_START = 0,      /* document level, before the root container */
    STATE_LIST = 1,       /* inside a list */
    STATE_DICT_KEY = 2,   /* inside a map, where a key or the map's end may follow */
    STATE_DICT_VALUE = 3, /* inside a map, after a key, where its value must follow */
    STATE_END = 4,        /* after the end marker of the root container */
    STATE_TABLE_KEYS = 5, /* inside a table, in the run of keys */
    STATE_TABLE_ROWS = 6  /* inside a table, in the rows */
};

extern "C" {

typedef struct qel_state {
    uint32_t state; /* STATE_* */
    uint32_t count; /* table: keys seen in the key run */
    uint32_t index; /* table rows: position of the next value in its row */
} qel_state;

/* records[0] is the document level, records[depth] the current record; the
 * ones between are the saved records of the enclosing levels, a map's
 * pending value being a level of its own above the map's record. */
typedef struct qel_state_stack {
    qel_state* records;
    uint32_t depth;
    uint32_t capacity;
} qel_state_stack;

/* What qel_state_next is told about the element just completed. */
enum { QEL_STEP_ATOMIC = 0, QEL_STEP_CONTAINER = 1, QEL_STEP_STRING = 2 };

/* A stack at the document level (STATE_START); false when its first records
 * cannot be allocated. */
bool qel_state_stack_init(qel_state_stack* stack) noexcept;
/* Back to the document level, STATE_START, keeping the records' memory. */
qel_state* qel_state_stack_reset(qel_state_stack* stack) noexcept;
void qel_state_stack_release(qel_state_stack* stack) noexcept;

/* Each returns the record current afterwards, or null when nothing changed
 * because the array could not grow (push, next) or no container is open
 * (pop). Records are moved when the array grows: a caller keeps only the
 * record returned. */
qel_state* qel_state_push(uint32_t new_state, qel_state_stack* stack) noexcept;
qel_state* qel_state_pop(qel_state_stack* stack) noexcept;
qel_state* qel_state_next(uint32_t kind, qel_state_stack* stack) noexcept;

/* Whether `levels` more records fit without growing the array. */
inline bool qel_state_room(const qel_state_stack* stack, uint32_t levels) noexcept {
    return stack->capacity - stack->depth > levels;
}

/* push and next for a handle's own current record, reporting an exhausted
 * heap as QEL_ERR_ALLOCATION with nothing changed. */
qel_err qel_state_enter(uint32_t new_state, qel_state** current, qel_state_stack* stack) noexcept;
qel_err qel_state_step(uint32_t kind, qel_state** current, qel_state_stack* stack) noexcept;

/* qel_state_step with its common cases inline: nothing in a list, a key's
 * value level entered or left in a map. */
inline qel_err qel_state_advance(uint32_t kind, qel_state** current, qel_state_stack* stack) noexcept {
    const uint32_t state = (*current)->state;
    if (state == STATE_LIST) return QEL_SUCCESS;
    if (kind != QEL_STEP_CONTAINER && kind <= QEL_STEP_STRING && state == STATE_DICT_KEY &&
        qel_state_room(stack, 1)) {
        *current = &stack->records[++stack->depth];
        **current = qel_state{STATE_DICT_VALUE, 0, 0};
        return QEL_SUCCESS;
    }
    if (kind <= QEL_STEP_STRING && state == STATE_DICT_VALUE) {
        /* A value level always lies above its map's, never on the document's. */
        *current = &stack->records[--stack->depth];
        return QEL_SUCCESS;
    }
    return qel_state_step(kind, current, stack);
}
}

#endif /* QEL_SRC_QEL_STATE_H */
