#include "game/bots.hpp"

#include <gtest/gtest.h>

#include <array>
#include <limits>
#include <random>
#include <vector>

#include "game/arena.hpp"

namespace game {
namespace {

constexpr int N = static_cast<int>(BOARD_SIZE);

std::vector<std::size_t> legal_list(const State& state) {
    std::vector<std::size_t> legal;
    state.legal_mask().for_each_grid([&](std::size_t g) { legal.push_back(g); });
    return legal;
}

State random_state(unsigned seed, std::size_t placements) {
    State state;
    std::mt19937 rng(seed);
    while (!state.is_terminal() && state.history().size() < placements) {
        const std::vector<std::size_t> legal = legal_list(state);
        EXPECT_FALSE(state.apply(legal[rng() % legal.size()]).has_value());
    }
    return state;
}

// The board cell by cell in the mover's frame: 0 the mover, 1 to 3 the seats after it, -1 empty.
using Owners = std::array<std::array<int, BOARD_SIZE>, BOARD_SIZE>;

Owners owners_seen_by_mover(const State& state) {
    Owners owners;
    const auto aligned = state.align_boards(state.seat());
    for (int r = 0; r < N; ++r)
        for (int c = 0; c < N; ++c) {
            owners[r][c] = -1;
            for (int k = 3; k >= 0; --k)
                if (aligned[k].get(cell_index(r, c))) owners[r][c] = k;
        }
    return owners;
}

int owner_at(const Owners& owners, int r, int c) {
    return r < 0 || c < 0 || r >= N || c >= N ? -2 : owners[r][c];
}

// Cells where seat k could put a cell of its next piece at a corner of its own, counted the slow
// way; with `covered` it counts only those among the covered cells.
int naive_corner_cells(const Owners& owners, int k, const std::vector<std::pair<int, int>>* only) {
    int count = 0;
    for (int r = 0; r < N; ++r)
        for (int c = 0; c < N; ++c) {
            if (owners[r][c] != -1) continue;
            bool beside = false, corner = false;
            for (const auto& [dr, dc] : {std::pair{0, 1}, {0, -1}, {1, 0}, {-1, 0}})
                beside = beside || owner_at(owners, r + dr, c + dc) == k;
            for (const auto& [dr, dc] : {std::pair{1, 1}, {1, -1}, {-1, 1}, {-1, -1}})
                corner = corner || owner_at(owners, r + dr, c + dc) == k;
            if (beside || !corner) continue;
            bool listed = only == nullptr;
            for (std::size_t i = 0; only != nullptr && i < only->size(); ++i)
                listed = listed || (*only)[i] == std::pair{r, c};
            count += listed ? 1 : 0;
        }
    return count;
}

// The greedy rule written out plainly: the biggest piece, then the score, then the lowest index.
std::size_t naive_greedy(const State& state) {
    const Owners before = owners_seen_by_mover(state);
    const ActionSet& set = ACTION_SET();
    std::size_t best = 0;
    int best_size = -1, best_score = -1;
    for (const std::size_t g : legal_list(state)) {
        std::vector<std::pair<int, int>> cells;
        const Bitboard& b = set.actions[*set.grid[g]].cells;
        for (int r = 0; r < N; ++r)
            for (int c = 0; c < N; ++c)
                if (b.get(cell_index(r, c))) cells.emplace_back(r, c);
        Owners after = before;
        for (const auto& [r, c] : cells) after[r][c] = 0;
        int score = naive_corner_cells(after, 0, nullptr);
        for (int k = 1; k < 4; ++k) score += naive_corner_cells(before, k, &cells);
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
