#include "game/bots.hpp"

#include <gtest/gtest.h>

#include <array>
#include <limits>
#include <vector>

#include "support/drivers.hpp"
#include "support/naive_model.hpp"

namespace game {
namespace {

using namespace support;

std::vector<std::size_t> legal_list(const State& state) {
    return support::legal_list(state.legal_mask());
}

// The greedy rule written out plainly on the rules model: the biggest piece, then the score, then
// the lowest index.
std::size_t naive_greedy(const State& state) {
    const naive::Model model = model_of(state);
    const int mover = static_cast<int>(state.seat());
    const std::vector<std::uint8_t> legal = model.legal(mover);
    std::size_t best = 0;
    int best_size = -1, best_score = -1;
    for (std::size_t g = 0; g < legal.size(); ++g) {
        if (!legal[g]) continue;
        std::vector<naive::Cell> cells;
        naive::Owners after = model.owners();
        for (const naive::Cell& own : naive::cells_of(g)) {
            cells.push_back(naive::to_board(mover, own));
            after[cells.back().r][cells.back().c] = mover;
        }
        int score = naive::corner_cells(after, mover);
        for (int other = 0; other < naive::SEATS; ++other)
            if (other != mover) score += naive::corner_cells(model.owners(), other, &cells);
        const int size = static_cast<int>(cells.size());
        if (size > best_size || (size == best_size && score > best_score)) {
            best = g;
            best_size = size;
            best_score = score;
        }
    }
    return best;
}

TEST(Bots, GreedyFollowsItsRuleOnPlayedPositions) {
    for (const unsigned seed : {1u, 2u, 3u})
        for (const std::size_t placements : {0u, 1u, 4u, 17u, 30u, 45u, 60u}) {
            const State state = random_state(seed, placements);
            if (state.is_terminal()) continue;
            SCOPED_TRACE(testing::Message() << "seed " << seed << ", " << placements << " moves");
            EXPECT_EQ(greedy_action(state), naive_greedy(state));
        }
    EXPECT_FALSE(greedy_action(random_state(1, MAX_PLACEMENTS)).has_value());
}

TEST(Bots, RandomMapsTheKeyOntoTheLegalMovesInOrder) {
    const State state = random_state(4, 20);
    const std::vector<std::size_t> legal = legal_list(state);
    ASSERT_GT(legal.size(), 2u);
    const std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
    EXPECT_EQ(random_action(state, 0), legal.front());
    EXPECT_EQ(random_action(state, max), legal.back());
    // Key k * 2^64 / n, rounded up, is the first to pick the k-th move.
    const std::size_t k = legal.size() / 2;
    const auto first_key =
        static_cast<std::uint64_t>(((u128{k} << 64) + legal.size() - 1) / legal.size());
    EXPECT_EQ(random_action(state, first_key), legal[k]);
    EXPECT_EQ(random_action(state, first_key - 1), legal[k - 1]);
    EXPECT_FALSE(random_action(random_state(1, MAX_PLACEMENTS), 0).has_value());
}

}  // namespace
}  // namespace game
