#include "qel_check.h"
#include "qel_state.h"
#include "qel_test_util.h"

namespace {

struct Handle {
    qel_stack* stack = qel_stack_new(qel_free);
    qel_state* state = static_cast<qel_state*>(qel_calloc(1, sizeof(qel_state)));
    ~Handle() { qel_stack_free(stack); qel_free(state); }
    void step(uint32_t kind) { ASSERT_EQ(qel_state_step(kind, &state, stack), QEL_SUCCESS); }
};

TEST(QelState, NextPushesAValueAfterAKeyAndPopsItAfterTheValue) {
    // From `from` above a saved STATE_DICT_KEY record: state and depth after one step.
    const uint32_t cases[][4] = {
        {STATE_DICT_KEY, 0, STATE_DICT_VALUE, 2}, {STATE_DICT_KEY, 1, STATE_DICT_KEY, 1},
        {STATE_DICT_KEY, 2, STATE_DICT_VALUE, 2}, {STATE_DICT_VALUE, 0, STATE_DICT_KEY, 0},
        {STATE_DICT_VALUE, 1, STATE_DICT_KEY, 0}, {STATE_DICT_VALUE, 2, STATE_DICT_KEY, 0},
        {STATE_LIST, 0, STATE_LIST, 1},           {STATE_START, 2, STATE_START, 1},
        {STATE_END, 0, STATE_END, 1},             {STATE_DICT_KEY, 3, STATE_DICT_KEY, 1},
    };
    for (const auto& c : cases) {
        Handle h;
        h.state->state = STATE_DICT_KEY;
        ASSERT_EQ(qel_state_enter(c[0], &h.state, h.stack), QEL_SUCCESS);
        h.step(c[1]);
        EXPECT_EQ(h.state->state, c[2]) << c[0] << "/" << c[1];
        EXPECT_EQ(h.stack->count, c[3]) << c[0] << "/" << c[1];
    }
}

TEST(QelState, TableCountsKeysThenCyclesThroughRows) {
    Handle h;
    h.state->state = STATE_TABLE_KEYS;
    for (uint32_t kind : {2, 2, 2, 0}) h.step(kind);
    EXPECT_EQ(h.state->count, 3u);
    h.state->state = STATE_TABLE_ROWS;
    std::vector<uint32_t> indices;
    for (uint32_t kind : {0, 1, 2, 0, 1}) {
        h.step(kind);
        indices.push_back(h.state->index);
    }
    EXPECT_EQ(indices, (std::vector<uint32_t>{1, 2, 0, 1, 2}));
}

TEST(QelStack, NullStackPrintsRecordWithoutExpressionOrCode) {
    const std::string out = captured([] {
        EXPECT_FALSE(qel_stack_push(nullptr, nullptr));
        EXPECT_EQ(qel_stack_pop(nullptr), nullptr);
        qel_stack_free(nullptr);
    });
    for (const char* message : {"invalid stack pointer", "invalid stack", "invalid pointer"})
        EXPECT_NE(out.find(std::string(" \"") + message + "\":expression failed (null) ["), std::string::npos) << message;
}

}  // namespace
