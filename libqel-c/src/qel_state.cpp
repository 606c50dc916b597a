// The nesting state machine: the array of state records and the steps that
// move a stream from one level to another.
#include "qel_state.h"

#include <cstdlib>

#include "qel_check.h"
#include "qel_heap.h"

namespace {

// Levels before the array first grows: as deep as most documents nest.
constexpr uint32_t kFirstStateRecords = 16;

// A null record means the heap refused to grow the array; the handle keeps
// its old record.
qel_err adopt(qel_state* next, qel_state** current) noexcept {
    QEL_CHECK(NULL != next, "allocation failed", QEL_ERR_ALLOCATION);
    *current = next;
    return QEL_SUCCESS;
}

}  // namespace

extern "C" bool qel_state_stack_init(qel_state_stack* stack) noexcept {
    stack->records = static_cast<qel_state*>(qel_calloc(kFirstStateRecords, sizeof(qel_state)));
    stack->depth = 0;
    stack->capacity = stack->records != nullptr ? kFirstStateRecords : 0;
    return stack->records != nullptr;
}

extern "C" qel_state* qel_state_stack_reset(qel_state_stack* stack) noexcept {
    stack->depth = 0;
    stack->records[0] = qel_state{STATE_START, 0, 0};
    return &stack->records[0];
}

extern "C" void qel_state_stack_release(qel_state_stack* stack) noexcept {
    qel_free(stack->records);
    *stack = qel_state_stack{};
}

extern "C" qel_state* qel_state_push(uint32_t new_state, qel_state_stack* stack) noexcept {
    if (!qel_state_room(stack, 1)) {
        // Doubling: a document that reaches depth n costs O(log n) growths.
        const uint64_t grown = uint64_t{stack->capacity} * 2;
        void* bigger = grown <= UINT32_MAX ? std::realloc(stack->records, grown * sizeof(qel_state)) : nullptr;
        if (bigger == nullptr) return nullptr;
        stack->records = static_cast<qel_state*>(bigger);
        stack->capacity = static_cast<uint32_t>(grown);
    }
    qel_state* record = &stack->records[++stack->depth];
    *record = qel_state{new_state, 0, 0};
    return record;
}

extern "C" qel_state* qel_state_pop(qel_state_stack* stack) noexcept {
    if (stack->depth == 0) return nullptr;
    qel_state* saved = &stack->records[--stack->depth];
    if (saved->state == STATE_START) saved->state = STATE_END;
    return saved;
}

extern "C" qel_state* qel_state_next(uint32_t kind, qel_state_stack* stack) noexcept {
    qel_state* current = &stack->records[stack->depth];
    if (kind > QEL_STEP_STRING) return current;
    switch (current->state) {
    case STATE_DICT_KEY:
        // A key's value is a level of its own above the map's, so that the
        // value's completion pops back to where the next key may stand.
        return kind == QEL_STEP_CONTAINER ? current : qel_state_push(STATE_DICT_VALUE, stack);
    case STATE_DICT_VALUE:
        return qel_state_pop(stack);
    case STATE_TABLE_KEYS:
        if (kind == QEL_STEP_STRING) ++current->count;
        return current;
    case STATE_TABLE_ROWS:
        if (++current->index >= current->count) current->index = 0;
        return current;
    default:
        return current;
    }
}

extern "C" qel_err qel_state_enter(uint32_t new_state, qel_state** current, qel_state_stack* stack) noexcept {
    return adopt(qel_state_push(new_state, stack), current);
}

extern "C" qel_err qel_state_step(uint32_t kind, qel_state** current, qel_state_stack* stack) noexcept {
    return adopt(qel_state_next(kind, stack), current);
}
