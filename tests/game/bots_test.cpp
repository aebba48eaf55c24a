#include "game/bots.hpp"

#include <gtest/gtest.h>

#include <array>
#include <limits>
#include <random>
#include <vector>

#include "game/arena.hpp"
#include "support/drivers.hpp"
#include "support/naive_model.hpp"

namespace game {
namespace {

using namespace support;

std::vector<std::size_t> legal_list(const State& state) {
    return support::legal_list(state.legal_mask());
}

// The rules model given the state's moves, each seat observed as its turn comes.
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

TEST(Arena, GamesDependOnlyOnSeedAndIndex) {
    const std::array<BotKind, 4> bots = {BotKind::Greedy, BotKind::Random, BotKind::Random,
                                         BotKind::Random};
    constexpr std::size_t GAMES = 6;
    std::array<std::int16_t, GAMES * 4> whole{}, split{};
    std::array<std::uint8_t, GAMES * 4> whole_seats{}, split_seats{};
    WorkerPool one(1), two(2);
    play_arena(bots, 9, 0, GAMES, one, whole.data(), whole_seats.data());
    play_arena(bots, 9, 0, 2, two, split.data(), split_seats.data());
    play_arena(bots, 9, 2, GAMES - 2, two, split.data() + 8, split_seats.data() + 8);
    EXPECT_EQ(whole, split);
    EXPECT_EQ(whole_seats, split_seats);

    // Game 1 is what play_match gives with the rotated seats and that game's generator.
    std::mt19937_64 generator = arena_generator(9, 1);
    const std::array<BotKind, 4> rotated = {BotKind::Random, BotKind::Greedy, BotKind::Random,
                                            BotKind::Random};
    const auto scores = play_match(rotated, generator);
    EXPECT_TRUE(std::equal(scores.begin(), scores.end(), whole.begin() + 4));
    EXPECT_EQ(whole_seats[4], 1u);  // the greedy bot sits at seat 1 in game 1
}

}  // namespace
}  // namespace game
