#include "game/state.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "support/drivers.hpp"

namespace game {
namespace {

using namespace support;

// Expects a refusal carrying `reason` that leaves the state as it was.
void expect_refused(State& state, std::size_t action, const std::string& reason) {
    const State before = state;
    const std::vector<std::uint16_t> history(state.history().begin(), state.history().end());
    const std::optional<InvalidAction> refused = state.apply(action);
    ASSERT_TRUE(refused.has_value()) << "grid index " << action;
    EXPECT_NE(refused->message.find(reason), std::string::npos) << refused->message;
    EXPECT_TRUE(state == before);
    EXPECT_EQ(state.seat(), before.seat());
    EXPECT_EQ(std::vector<std::uint16_t>(state.history().begin(), state.history().end()), history);
}

TEST(State, NewStateIsANewGame) {
    const State state;
    const Game game;
    EXPECT_EQ(state.seat(), 0u);
    EXPECT_FALSE(state.is_terminal());
    EXPECT_FALSE(state.scores().has_value());
    EXPECT_TRUE(state.history().empty());
    for (std::size_t seat = 0; seat < NUM_AGENTS; ++seat) {
        EXPECT_TRUE(state.legal_mask(seat) == game.agents[seat].action_mask);
        EXPECT_EQ(state.legal_mask(seat).count(), 58u);
    }
}

// The state and a Game given the same moves agree at every turn on who moves, on every seat's
// legal placements and view, and at the end on the scores.
TEST(State, AgreesWithGameMoveByMove) {
    for (unsigned seed = 1; seed <= 4; ++seed) {
        SCOPED_TRACE(testing::Message() << "seed " << seed);
        State state;
        Game game;
        std::mt19937 rng(seed);
        for (;;) {
            const bool playing = settle(game);
            ASSERT_EQ(playing, !state.is_terminal());
            ASSERT_EQ(game.agent_selection, state.seat());
            for (std::size_t seat = 0; seat < NUM_AGENTS; ++seat) {
                const Observation seen = game.observe(seat);
                ASSERT_EQ(ACTION_SET().grid_mask(state.legal_mask(seat)), seen.action_mask)
                    << "seat " << seat;
                Bytes planes(PLANE_BYTES);
                state.seen_by(seat).write_planes(planes.data());
                ASSERT_EQ(planes, seen.observation) << "seat " << seat;
            }
            if (!playing) break;
            const std::vector<std::size_t> legal = legal_list(state.legal_mask());
            const std::size_t action = legal[rng() % legal.size()];
            ASSERT_FALSE(state.apply(action).has_value());
            ASSERT_FALSE(game.step(action).has_value());
        }
        const auto rewards = game.rewards();
        for (std::size_t seat = 0; seat < NUM_AGENTS; ++seat)
            EXPECT_EQ(std::optional<std::int16_t>((*state.scores())[seat]), rewards[seat]);
        EXPECT_EQ(state.text(), game.text());
    }
}

TEST(State, ApplyingAKnownLegalMovePlaysWhatApplyPlays) {
    for (unsigned seed = 5; seed <= 7; ++seed) {
        State checked, trusted;
        std::mt19937 rng(seed);
        while (!checked.is_terminal()) {
            const std::vector<std::size_t> legal = legal_list(checked.legal_mask());
            const std::size_t action = legal[rng() % legal.size()];
            ASSERT_FALSE(checked.apply(action).has_value());
            trusted.apply_legal(action);
            ASSERT_TRUE(trusted == checked);
            ASSERT_EQ(trusted.seat(), checked.seat());
        }
        EXPECT_TRUE(std::ranges::equal(trusted.history(), checked.history()));
        EXPECT_EQ(trusted.scores(), checked.scores());
    }
}

TEST(State, RefusesIllegalMovesWithTheReasonAndChangesNothing) {
    State state;
    expect_refused(state, NUM_GRID_INDICES, "outside 0 to 36399");
    expect_refused(state, grid(DOMINO_FLAT, 0, 19), "names no placement");
    expect_refused(state, grid(DOMINO_FLAT, 1, 1), "must cover its start corner");
    for (std::size_t seat = 0; seat < NUM_AGENTS; ++seat)
        ASSERT_FALSE(state.apply(grid(MONOMINO, 0, 0)).has_value());

    // Seat 0 holds (0, 0) and moves again; the others are far away in this frame.
    EXPECT_EQ(state.seat(), 0u);
    expect_refused(state, grid(MONOMINO, 1, 1), "placed that piece already");
    expect_refused(state, grid(DOMINO_FLAT, 0, 0), "overlaps a piece");
    expect_refused(state, grid(DOMINO_FLAT, 0, 1), "shares an edge");
    expect_refused(state, grid(DOMINO_FLAT, 5, 5), "touches none");
    // Seat 1's monomino lies at (0, 19) in seat 0's frame.
    expect_refused(state, grid(DOMINO_FLAT, 0, 18), "overlaps a piece");
    EXPECT_FALSE(state.apply(grid(DOMINO_FLAT, 1, 1)).has_value());

    const State over = random_state(3);
    ASSERT_TRUE(over.is_terminal());
    State copy = over;
    expect_refused(copy, grid(MONOMINO, 0, 0), "the game is over");
}

// apply tests one placement by the rule as set algebra on the boards; the mask comes from the
// legality kernel in grid order. They must agree on every placement, at every stage of a game.
TEST(State, RefusesExactlyWhatTheLegalMaskLeavesOut) {
    for (const std::size_t placements : {0u, 3u, 4u, 9u, 30u, 55u}) {
        SCOPED_TRACE(testing::Message() << placements << " placements");
        const State state = random_state(7, placements);
        ASSERT_FALSE(state.is_terminal());
        const ActionMask legal = state.legal_mask();
        std::size_t accepted = 0;
        for (std::size_t g = 0; g < NUM_GRID_INDICES; ++g) {
            if (!ACTION_SET().grid[g]) continue;
            State copy = state;
            const std::optional<InvalidAction> refused = copy.apply(g);
            ASSERT_EQ(!refused, legal.test_grid(g)) << "grid index " << g;
            accepted += refused ? 0 : 1;
        }
        EXPECT_EQ(accepted, legal.count());
    }
}

TEST(State, ReplayingTheHistoryGivesTheSameState) {
    const State played = random_state(5, 50);
    const State::Replay replay = State::from_history(played.history());
    ASSERT_FALSE(replay.refused_at.has_value());
    EXPECT_EQ(replay.state.seat(), played.seat());
    EXPECT_TRUE(std::ranges::equal(replay.state.history(), played.history()));
    for (std::size_t seat = 0; seat < NUM_AGENTS; ++seat) {
        const SeatPosition &a = replay.state.seen_by(seat).observer(),
                           &b = played.seen_by(seat).observer();
        EXPECT_EQ(a.board, b.board);
        EXPECT_EQ(a.turned, b.turned);
        EXPECT_EQ(a.available_pieces, b.available_pieces);
        EXPECT_EQ(a.last_piece, b.last_piece);
        EXPECT_EQ(a.pieces_placed, b.pieces_placed);
        EXPECT_EQ(a.done, b.done);
    }

    std::vector<std::uint16_t> broken(played.history().begin(), played.history().end());
    broken[7] = broken[3];  // a piece that seat placed four moves before
    const State::Replay refused = State::from_history(broken);
    EXPECT_EQ(refused.refused_at, 7u);
    ASSERT_TRUE(refused.refusal.has_value());
    EXPECT_TRUE(refused.state == State::from_history(std::span(broken).first(7)).state);
}

// Positions are equal when the same pieces lie in the same places with the same seat to move,
// whatever order they were placed in.
TEST(State, EqualityIgnoresTheOrderOfMoves) {
    std::size_t transpositions = 0;
    for (unsigned seed = 1; seed <= 20; ++seed) {
        const State played = random_state(seed, 16);
        // Seat 0's second and third placements are moves 4 and 8; try them the other way round.
        std::vector<std::uint16_t> swapped(played.history().begin(), played.history().end());
        std::swap(swapped[4], swapped[8]);
        const State::Replay other = State::from_history(swapped);
        if (other.refused_at) continue;
        ++transpositions;
        EXPECT_TRUE(other.state == played);
        EXPECT_EQ(other.state.hash(), played.hash());
        EXPECT_FALSE(std::equal(swapped.begin(), swapped.end(), played.history().begin()));
    }
    EXPECT_GT(transpositions, 0u);

    // One placement apart, or the same number of placements made differently: different.
    const State a = random_state(1, 10), b = random_state(1, 11), c = random_state(2, 11);
    EXPECT_FALSE(a == b);
    EXPECT_FALSE(b == c);
    EXPECT_NE(a.hash(), b.hash());
    EXPECT_NE(b.hash(), c.hash());
}

}  // namespace
}  // namespace game
