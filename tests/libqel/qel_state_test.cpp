#include "qel_state.h"
#include "qel_writer.h"

#include "qel_check.h"
#include "qel_test_util.h"

namespace {

TEST(QelState, Predicates) {
    // Rows: STATE_START .. STATE_TABLE_ROWS, then a value outside the range.
    const bool atomic[] = {false, true, true, true, false, false, true, false};
    const bool container[] = {true, true, false, true, false, false, true, false};
    const bool string[] = {false, true, true, true, false, true, true, false};
    for (uint32_t s = 0; s < 8; ++s) {
        EXPECT_EQ(qel_state_allow_atomic(s), atomic[s]) << s;
        EXPECT_EQ(qel_state_allow_container(s), container[s]) << s;
        EXPECT_EQ(qel_state_allow_string(s), string[s]) << s;
    }
}

struct Handle {
    qel_stack* stack = qel_stack_new(qel_free);
    qel_state* state = static_cast<qel_state*>(qel_calloc(1, sizeof(qel_state)));
    ~Handle() { qel_stack_free(stack); qel_free(state); }
    void step(uint32_t kind) { ASSERT_EQ(qel_state_step(kind, &state, stack), QEL_SUCCESS); }
};

TEST(QelState, NextPushesAValueAfterAKeyAndPopsItAfterTheValue) {
    struct Case { uint32_t from; uint32_t kind; uint32_t to; uint32_t depth; };
    // Each case starts from `from` above a saved STATE_DICT_KEY record.
    const Case cases[] = {
        {STATE_DICT_KEY, 0, STATE_DICT_VALUE, 2}, {STATE_DICT_KEY, 1, STATE_DICT_KEY, 1},
        {STATE_DICT_KEY, 2, STATE_DICT_VALUE, 2}, {STATE_DICT_VALUE, 0, STATE_DICT_KEY, 0},
        {STATE_DICT_VALUE, 1, STATE_DICT_KEY, 0}, {STATE_DICT_VALUE, 2, STATE_DICT_KEY, 0},
        {STATE_LIST, 0, STATE_LIST, 1},           {STATE_START, 2, STATE_START, 1},
        {STATE_END, 0, STATE_END, 1},             {STATE_DICT_KEY, 3, STATE_DICT_KEY, 1},
    };
    for (const Case& c : cases) {
        Handle h;
        h.state->state = STATE_DICT_KEY;
        ASSERT_EQ(qel_state_enter(c.from, &h.state, h.stack), QEL_SUCCESS);
        h.step(c.kind);
        EXPECT_EQ(h.state->state, c.to) << c.from << "/" << c.kind;
        EXPECT_EQ(h.stack->count, c.depth) << c.from << "/" << c.kind;
    }
}

TEST(QelState, TableCountsKeysThenCyclesThroughRows) {
    Handle h;
    h.state->state = STATE_TABLE_KEYS;
    for (int i = 0; i < 3; ++i) h.step(QEL_STEP_STRING);
    h.step(QEL_STEP_ATOMIC);
    EXPECT_EQ(h.state->count, 3u);
    h.state->state = STATE_TABLE_ROWS;
    std::vector<uint32_t> indices;
    for (uint32_t kind = 0; kind < 5; ++kind) {
        h.step(kind % 3);
        indices.push_back(h.state->index);
    }
    EXPECT_EQ(indices, (std::vector<uint32_t>{1, 2, 0, 1, 2}));
    h.state->count = 0;
    h.state->index = 0;
    h.step(QEL_STEP_ATOMIC);
    EXPECT_EQ(h.state->index, 0u);
}

TEST(QelState, PopToDocumentLevelEndsTheDocument) {
    Handle h;
    ASSERT_EQ(qel_state_enter(STATE_LIST, &h.state, h.stack), QEL_SUCCESS);
    h.state = qel_state_pop(h.state, h.stack);
    EXPECT_EQ(h.state->state, STATE_END);
    EXPECT_EQ(qel_state_pop(h.state, h.stack), nullptr);  // nothing to pop: nothing changes
}

TEST(QelState, WriterTraceOfOneKeyMap) {
    qel_writer* w = nullptr;
    ASSERT_EQ(qel_writer_new_buffer(&w), QEL_SUCCESS);
    auto trace = [&] {
        std::vector<uint32_t> states;
        for (uint32_t i = 0; i < w->stack->count; ++i) states.push_back(static_cast<qel_state*>(w->stack->slots[i])->state);
        states.push_back(w->state->state);
        return states;
    };
    using V = std::vector<uint32_t>;
    EXPECT_EQ(trace(), (V{STATE_START}));
    qel_writer_map_open(w);
    EXPECT_EQ(trace(), (V{STATE_START, STATE_DICT_KEY}));
    qel_writer_write_string_c(w, "a", 2);
    EXPECT_EQ(trace(), (V{STATE_START, STATE_DICT_KEY, STATE_DICT_VALUE}));
    qel_writer_write_int8(w, 5);
    EXPECT_EQ(trace(), (V{STATE_START, STATE_DICT_KEY}));
    qel_writer_map_close(w);
    EXPECT_EQ(trace(), (V{STATE_END}));
    qel_writer_free(w);
}

TEST(QelStack, GrowsKeepsOrderAndClearsThroughItsFreeFunction) {
    qel_stack* s = qel_stack_new(qel_free);
    for (int i = 0; i < 1000; ++i) ASSERT_TRUE(qel_stack_push(s, qel_calloc(1, sizeof(int))));
    void* top = s->slots[999];
    EXPECT_EQ(qel_stack_pop(s), top);
    qel_free(top);
    const uint32_t capacity = s->capacity;
    qel_stack_clear(s);
    EXPECT_EQ(s->count, 0u);
    EXPECT_EQ(s->capacity, capacity);
    EXPECT_EQ(qel_stack_pop(s), nullptr);
    qel_stack_free(s);
}

TEST(QelStack, NullStackPrintsRecordWithoutExpressionOrCode) {
    const std::string out = captured([] {
        EXPECT_FALSE(qel_stack_push(nullptr, nullptr));
        EXPECT_EQ(qel_stack_pop(nullptr), nullptr);
        qel_stack_clear(nullptr);
        qel_stack_free(nullptr);
    });
    for (const char* message : {"invalid stack pointer", "invalid stack", "invalid pointer"}) {
        EXPECT_NE(out.find(std::string(" \"") + message + "\":expression failed (null) ["), std::string::npos) << message;
    }
}

}  // namespace
