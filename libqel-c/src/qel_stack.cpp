#include "qel_stack.h"

#include <cstdint>
#include <cstdlib>

#include "qel_check.h"

namespace {
// The slot array doubles, so a stack that reaches depth n has cost O(log n)
// reallocations and O(n) copying in all.
constexpr uint32_t kFirstCapacity = 16;
}  // namespace

extern "C" qel_stack* qel_stack_new(qel_stack_free_function free_function) noexcept {
    auto* stack = static_cast<qel_stack*>(qel_calloc(1, sizeof(qel_stack)));
    if (stack != nullptr) stack->free_function = free_function;
    return stack;
}

extern "C" bool qel_stack_push(qel_stack* stack, void* item) noexcept {
    QEL_STACK_CHECK(stack, "invalid stack pointer", false);
    if (stack->count == stack->capacity) {
        if (stack->slots == nullptr) {
            stack->slots = static_cast<void**>(qel_calloc(kFirstCapacity, sizeof(void*)));
            QEL_STACK_CHECK(stack->slots, "stack not allocated", false);
            stack->capacity = kFirstCapacity;
        } else {
            const uint32_t grown = stack->capacity <= UINT32_MAX / 2 ? stack->capacity * 2 : UINT32_MAX;
            void** slots = grown > stack->capacity
                               ? static_cast<void**>(std::realloc(stack->slots, grown * sizeof(void*)))
                               : nullptr;
            QEL_STACK_CHECK(slots, "resize stack failed", false);
            stack->slots = slots;
            stack->capacity = grown;
        }
    }
    stack->slots[stack->count++] = item;
    return true;
}

extern "C" void* qel_stack_pop(qel_stack* stack) noexcept {
    QEL_STACK_CHECK(stack, "invalid stack", nullptr);
    if (stack->count == 0) return nullptr;
    return stack->slots[--stack->count];
}

extern "C" void qel_stack_clear(qel_stack* stack) noexcept {
    QEL_STACK_CHECK(stack, "invalid pointer");
    if (stack->free_function == nullptr) return;
    while (stack->count > 0) stack->free_function(stack->slots[--stack->count]);
}

extern "C" void qel_stack_free(qel_stack* stack) noexcept {
    QEL_STACK_CHECK(stack, "invalid pointer");
    qel_stack_clear(stack);
    std::free(stack->slots);
    std::free(stack);
}
