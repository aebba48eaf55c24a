#include "game/mcts.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <limits>
#include <random>
#include <vector>

#include "game/bots.hpp"

namespace game {
namespace {

// The positions of one seeded random game, every `stride` placements, until it ends.
std::vector<State> positions_of_random_game(unsigned seed, std::size_t stride) {
    std::vector<State> positions;
    State state;
    std::mt19937_64 rng(seed);
    while (!state.is_terminal()) {
        if (state.history().size() % stride == 0) positions.push_back(state);
        state.apply(*random_action(state, rng()));
    }
    return positions;
}

MctsOptions with_playouts(std::size_t playouts, PlayoutKind kind, std::uint64_t seed = 0) {
    MctsOptions options;
    options.budget_kind = BudgetKind::Playouts;
    options.budget = playouts;
    options.playout = kind;
    options.seed = seed;
    return options;
}

constexpr PlayoutKind ALL_PLAYOUTS[] = {PlayoutKind::Random, PlayoutKind::Largest,
                                        PlayoutKind::Greedy};

TEST(Mcts, AlwaysPlaysALegalMoveAndNothingOnceTheGameIsOver) {
    for (const PlayoutKind kind : ALL_PLAYOUTS) {
        // One search object for the whole game, as a bot would use it.
        Mcts mcts(with_playouts(6, kind, 5));
        for (const unsigned seed : {1u, 2u}) {
            for (const State& state : positions_of_random_game(seed, 3)) {
                SCOPED_TRACE(testing::Message() << name(kind) << " playouts, game " << seed << ", "
                                                << state.history().size() << " moves");
                const MctsResult result = mcts.search(state);
                ASSERT_TRUE(result.action.has_value());
                EXPECT_TRUE(state.legal_mask().test_grid(*result.action));
            }
        }
    }
    State over;
    std::mt19937_64 rng(3);
    while (!over.is_terminal()) over.apply(*random_action(over, rng()));
    const MctsResult result = Mcts().search(over);
    EXPECT_FALSE(result.action.has_value());
    EXPECT_EQ(result.playouts, 0u);
}

TEST(Mcts, ATimedSearchEndsWithALegalMove) {
    MctsOptions options;
    options.budget_kind = BudgetKind::Milliseconds;
    options.budget = 3;
    const std::vector<State> positions = positions_of_random_game(4, 20);
    for (const State& state : positions) {
        const MctsResult result = Mcts(options).search(state);
        ASSERT_TRUE(result.action.has_value());
        EXPECT_TRUE(state.legal_mask().test_grid(*result.action));
    }
}

TEST(Mcts, TheMoveDependsOnlyOnThePositionTheOptionsAndTheSeed) {
    const std::vector<State> positions = positions_of_random_game(6, 7);
    Mcts reused(with_playouts(40, PlayoutKind::Random, 11));
    const auto fresh = [](const State& state, std::uint64_t seed) {
        return Mcts(with_playouts(40, PlayoutKind::Random, seed)).search(state).action;
    };
    std::size_t seed_matters = 0;
    for (const State& state : positions) {
        SCOPED_TRACE(testing::Message() << state.history().size() << " moves");
        const MctsResult first = reused.search(state);
        // A fresh search, and the same object after it searched other positions, agree.
        EXPECT_EQ(fresh(state, 11), first.action);
        EXPECT_EQ(reused.search(positions.front()).action, fresh(positions.front(), 11));
        const MctsResult again = reused.search(state);
        EXPECT_EQ(again.action, first.action);
        EXPECT_EQ(again.nodes, first.nodes);
        if (fresh(state, 12) != first.action) ++seed_matters;
    }
    // The seed drives the playouts: another one changes some of the choices.
    EXPECT_GT(seed_matters, 0u);
}

TEST(Mcts, ASearchWithoutPlayoutsPlaysGreedysMove) {
    // Moves are tried in greedy's order, so the search starts from greedy's choice.
    for (const State& state : positions_of_random_game(8, 5)) {
        if (state.legal_mask().count() < 2) continue;
        const MctsResult result = Mcts(with_playouts(0, PlayoutKind::Largest)).search(state);
        EXPECT_EQ(result.playouts, 0u);
        EXPECT_EQ(result.action, greedy_action(state));
    }
}

TEST(Mcts, TheStopHookEndsTheSearchWithTheBestMoveSoFar) {
    const State state = positions_of_random_game(9, 10)[2];
    const MctsOptions endless =
        with_playouts(std::numeric_limits<std::size_t>::max(), PlayoutKind::Largest);

    // A flag raised from elsewhere: the hook is asked again and again until it is.
    std::atomic<int> calls = 0;
    const MctsResult stopped = Mcts(endless).search(state, [&] { return ++calls == 5; });
    EXPECT_TRUE(stopped.stopped);
    EXPECT_EQ(calls, 5);
    EXPECT_GT(stopped.playouts, 0u);
    ASSERT_TRUE(stopped.action.has_value());
    EXPECT_TRUE(state.legal_mask().test_grid(*stopped.action));

    // Raised before the search starts: no playout, and greedy's move.
    const MctsResult at_once = Mcts(endless).search(state, [] { return true; });
    EXPECT_TRUE(at_once.stopped);
    EXPECT_EQ(at_once.playouts, 0u);
    EXPECT_EQ(at_once.action, greedy_action(state));

    // A hook that never fires leaves a playout budget alone.
    const MctsResult full =
        Mcts(with_playouts(30, PlayoutKind::Largest)).search(state, [] { return false; });
    EXPECT_FALSE(full.stopped);
    EXPECT_EQ(full.playouts, 30u);
}

TEST(Mcts, PlaysASeatsOnlyMoveWithoutSearching) {
    std::size_t seen = 0;
    for (unsigned seed = 1; seed <= 20 && seen < 3; ++seed)
        for (const State& state : positions_of_random_game(seed, 1)) {
            const ActionMask legal = state.legal_mask();
            if (legal.count() != 1) continue;
            std::size_t only = 0;
            legal.for_each_grid([&](std::size_t g) { only = g; });
            const MctsResult result = Mcts(with_playouts(50, PlayoutKind::Random)).search(state);
            EXPECT_EQ(result.action, only);
            EXPECT_EQ(result.playouts, 0u);
            ++seen;
        }
    EXPECT_EQ(seen, 3u);
}

// The exact value of a small endgame: every seat picks the move whose outcome (as the search
// backs it up) is best for itself, as far as the end. Nothing when that takes more than `budget`
// positions, or when a seat has two best moves that differ for the others, so that the value
// would depend on how it breaks the tie.
using Outcome = std::array<double, NUM_AGENTS>;

std::optional<Outcome> max_n_value(const State& state, double score_weight, std::size_t& budget) {
    if (state.is_terminal()) return search_outcome(*state.scores(), score_weight);
    if (budget == 0) return std::nullopt;
    --budget;
    const std::size_t seat = state.seat();
    std::optional<Outcome> best;
    bool known = true;
    state.legal_mask().for_each_grid([&](std::size_t g) {
        if (!known) return;
        State next = state;
        next.apply(g);
        const std::optional<Outcome> value = max_n_value(next, score_weight, budget);
        if (!value || (best && (*value)[seat] == (*best)[seat] && *value != *best))
            known = false;
        else if (!best || (*value)[seat] > (*best)[seat])
            best = value;
    });
    return known ? best : std::nullopt;
}

std::size_t seats_playing(const State& state) {
    std::size_t playing = 0;
    for (std::size_t s = 0; s < NUM_AGENTS; ++s)
        playing += state.seen_by(s).observer().done ? 0 : 1;
    return playing;
}

TEST(Mcts, FindsTheBestMoveOfSmallEndgamesWhereGreedyOftenDoesNot) {
    // Seeded random games, looked at when only two seats still play, and when only one does:
    // small enough to solve exactly. A search that backed up the outcome of the wrong seat, or
    // looked no further than greedy's order, would miss the best move in many of them.
    const MctsOptions options = with_playouts(500, PlayoutKind::Largest, 1);
    std::size_t solved = 0, found = 0, greedy_found = 0;
    for (unsigned seed = 1; seed <= 100; ++seed) {
        State state;
        std::mt19937_64 rng(seed);
        for (const std::size_t left : {2u, 1u}) {
            while (!state.is_terminal() && seats_playing(state) > left)
                state.apply(*random_action(state, rng()));
            if (state.is_terminal()) break;
            std::size_t budget = 3000;
            const std::optional<Outcome> best = max_n_value(state, options.score_weight, budget);
            if (!best) continue;
            const std::size_t seat = state.seat();
            const auto value_after = [&](std::size_t move) {
                State next = state;
                next.apply(move);
                std::size_t unlimited = SIZE_MAX;
                return (*max_n_value(next, options.score_weight, unlimited))[seat];
            };
            ++solved;
            found += value_after(*Mcts(options).search(state).action) == (*best)[seat] ? 1 : 0;
            greedy_found += value_after(*greedy_action(state)) == (*best)[seat] ? 1 : 0;
        }
    }
    ASSERT_GE(solved, 50u);
    EXPECT_GE(found, solved * 95 / 100) << "of " << solved;
    EXPECT_LE(greedy_found, solved * 90 / 100) << "of " << solved;
}

TEST(Mcts, OutcomeSplitsTheWinAndAddsTheScoreMargin) {
    // Seats 1 and 3 share the best score: half a win each; seat 0 is 10 cells behind the best
    // of the others, seat 2 more than the span behind.
    const std::array<std::int16_t, NUM_AGENTS> scores = {-12, -2, -80, -2};
    const std::array<double, NUM_AGENTS> pure_win = search_outcome(scores, 0);
    EXPECT_EQ(pure_win, (std::array<double, NUM_AGENTS>{0, 0.5, 0, 0.5}));
    const std::array<double, NUM_AGENTS> pure_margin = search_outcome(scores, 1);
    const double span = Mcts::MARGIN_SPAN;
    EXPECT_DOUBLE_EQ(pure_margin[0], 0.5 - 10 / (2 * span));
    EXPECT_DOUBLE_EQ(pure_margin[1], 0.5);
    EXPECT_DOUBLE_EQ(pure_margin[2], 0);
    EXPECT_DOUBLE_EQ(pure_margin[3], 0.5);
    const std::array<double, NUM_AGENTS> blend = search_outcome(scores, 0.25);
    for (std::size_t s = 0; s < NUM_AGENTS; ++s)
        EXPECT_DOUBLE_EQ(blend[s], 0.75 * pure_win[s] + 0.25 * pure_margin[s]);
    // A clear winner gets the whole win, and a margin above the middle.
    const std::array<double, NUM_AGENTS> alone = search_outcome({20, -5, -30, -9}, 0.5);
    EXPECT_DOUBLE_EQ(alone[0], 0.5 + 0.5 * std::min(1.0, 0.5 + 25 / (2 * span)));
    EXPECT_DOUBLE_EQ(alone[1], 0.5 * (0.5 - 25 / (2 * span)));
}

TEST(Mcts, PlayoutKindsHaveNames) {
    for (const PlayoutKind kind : ALL_PLAYOUTS) EXPECT_EQ(playout_named(name(kind)), kind);
    EXPECT_FALSE(playout_named("uniform").has_value());
}

}  // namespace
}  // namespace game
