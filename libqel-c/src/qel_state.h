/* Nesting state shared by writer and reader: one current record per handle,
 * and a stack holding the record of every enclosing level. */
#ifndef QEL_SRC_QEL_STATE_H
#define QEL_SRC_QEL_STATE_H

#include <cstdint>

#include "qel/qel.h"
#include "qel_stack.h"

extern "C" {

typedef struct qel_state {
    uint32_t state; /* STATE_* */
    uint32_t count; /* table: keys seen in the key run */
    uint32_t index; /* table rows: position of the next value in its row */
} qel_state;

/* What qel_state_next is told about the element just completed. */
enum { QEL_STEP_ATOMIC = 0, QEL_STEP_CONTAINER = 1, QEL_STEP_STRING = 2 };

bool qel_state_allow_atomic(uint32_t state) noexcept;
bool qel_state_allow_container(uint32_t state) noexcept;
bool qel_state_allow_string(uint32_t state) noexcept;

/* Each returns the record current afterwards, or null when nothing changed
 * because a record or stack slot could not be allocated (push, next) or the
 * stack is empty (pop); the caller's current record then stays valid. */
qel_state* qel_state_push(uint32_t new_state, qel_state* current, qel_stack* stack) noexcept;
qel_state* qel_state_pop(qel_state* current, qel_stack* stack) noexcept;
qel_state* qel_state_next(uint32_t kind, qel_state* current, qel_stack* stack) noexcept;

/* push and next for a handle's own record, reporting an exhausted heap as
 * QEL_ERR_ALLOCATION with nothing changed. */
qel_err qel_state_enter(uint32_t new_state, qel_state** current, qel_stack* stack) noexcept;
qel_err qel_state_step(uint32_t kind, qel_state** current, qel_stack* stack) noexcept;
}

#endif /* QEL_SRC_QEL_STATE_H */
