#include "support/drivers.hpp"

#include <algorithm>
#include <random>

namespace game::support {

std::vector<std::size_t> legal_list(const ActionMask& mask) {
    std::vector<std::size_t> legal;
    mask.for_each_grid([&](std::size_t g) { legal.push_back(g); });
    return legal;
}

State random_state(unsigned seed, std::size_t placements) {
    State state;
    std::mt19937 rng(seed);
    while (!state.is_terminal() && state.history().size() < placements) {
        const std::vector<std::size_t> legal = legal_list(state.legal_mask());
        EXPECT_FALSE(state.apply(legal[rng() % legal.size()]).has_value());
    }
    return state;
}

naive::Model model_of(const State& state) {
    naive::Model model;
    int seat = 0;
    for (const std::uint16_t g : state.history()) {
        model.place(seat, g);
        seat = model.next_to_move(seat);
    }
    EXPECT_EQ(static_cast<std::size_t>(seat), state.seat());
    return model;
}

void force(Game& game, std::size_t seat, std::size_t g) {
    Agent& agent = game.agents[seat];
    game.agent_selection = seat;
    agent.mask_stale = false;
    agent.action_mask.set_grid(g);
    ASSERT_FALSE(game.step(g)) << "seat " << seat << ", grid index " << g;
}

bool settle(Game& game) {
    for (;;) {
        const std::size_t seat = game.agent_selection;
        game.observe(seat);
        if (!game.agents[seat].done) return true;
        if (std::ranges::all_of(game.agents, [](const Agent& a) { return a.done; })) return false;
        EXPECT_FALSE(game.step(std::nullopt));
    }
}

testing::AssertionResult same_game(const Game& a, const Game& b) {
    for (std::size_t seat = 0; seat < NUM_AGENTS; ++seat) {
        const Agent &x = a.agents[seat], &y = b.agents[seat];
        const auto differ = [&](const char* field) {
            return testing::AssertionFailure() << "seat " << seat << ": " << field << " differs";
        };
        if (x.available_pieces != y.available_pieces) return differ("available_pieces");
        if (x.board != y.board) return differ("board");
        if (!(x.action_mask == y.action_mask)) return differ("action_mask");
        if (x.mask_stale != y.mask_stale) return differ("mask_stale");
        if (x.done != y.done) return differ("done");
        if (x.index != y.index) return differ("index");
        if (x.last_piece != y.last_piece) return differ("last_piece");
        if (x.pieces_placed != y.pieces_placed) return differ("pieces_placed");
        if (a.align_boards(seat) != b.align_boards(seat)) return differ("the boards it sees");
    }
    if (a.agent_selection != b.agent_selection)
        return testing::AssertionFailure() << "seat to move";
    if (a.seat_order != b.seat_order) return testing::AssertionFailure() << "seat_order";
    if (a.action_set != b.action_set) return testing::AssertionFailure() << "action_set";
    if (a.num_agents != b.num_agents) return testing::AssertionFailure() << "num_agents";
    return testing::AssertionSuccess();
}

}  // namespace game::support
