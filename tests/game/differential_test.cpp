// Random games checked move by move against the naive model of the rules (support/naive_model).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <random>
#include <vector>

#include "game.hpp"
#include "support/drivers.hpp"
#include "support/naive_model.hpp"

namespace game {
namespace {

using naive::Cell;
using naive::describe;
using naive::GRID_SIZE;
using naive::KINDS;
using naive::Model;
using naive::N;
using naive::SEATS;
using naive::to_board;
using support::same_game;

testing::AssertionResult same_mask(const Bytes& engine, const std::vector<std::uint8_t>& model) {
    if (engine.size() != model.size())
        return testing::AssertionFailure() << "mask has " << engine.size() << " bytes";
    testing::AssertionResult result = testing::AssertionSuccess();
    int shown = 0;
    for (std::size_t g = 0; g < model.size(); ++g) {
        if (engine[g] == model[g]) continue;
        if (shown == 0) result = testing::AssertionFailure();
        if (shown++ < 8)
            result << "\n  grid index " << describe(g) << ": engine " << int{engine[g]}
                   << ", rules " << int{model[g]};
    }
    if (shown > 8) result << "\n  ... " << shown << " differences in all";
    return result;
}

testing::AssertionResult same_planes(const Bytes& engine, const std::vector<std::uint8_t>& model) {
    if (engine.size() != model.size())
        return testing::AssertionFailure() << "planes have " << engine.size() << " bytes";
    for (std::size_t i = 0; i < model.size(); ++i)
        if (engine[i] != model[i])
            return testing::AssertionFailure()
                   << "plane " << i / 400 << " row " << i % 400 / 20 << " col " << i % 20
                   << ": engine " << int{engine[i]} << ", rules " << int{model[i]};
    return testing::AssertionSuccess();
}

// Observes `seat` in both and compares what the engine shows with what the rules say.
std::vector<std::uint8_t> observe_both(Game& game, Model& model, int seat) {
    const Observation view = game.observe(static_cast<std::size_t>(seat));
    std::vector<std::uint8_t> mask = model.observe(seat);
    EXPECT_TRUE(same_mask(view.action_mask, mask)) << "observing seat " << seat;
    EXPECT_TRUE(same_planes(view.observation, model.planes(seat))) << "observing seat " << seat;
    EXPECT_EQ(game.agents[seat].done, model.done(seat)) << "seat " << seat;
    EXPECT_FALSE(game.agents[seat].mask_stale) << "seat " << seat;
    return mask;
}

// The engine's state agrees with the model's after every turn.
void check_invariants(const Game& game, const Model& model) {
    for (int seat = 0; seat < SEATS; ++seat) {
        SCOPED_TRACE(testing::Message() << "seat " << seat);
        const Agent& agent = game.agents[seat];
        // Each seat's board, in its own frame, holds exactly the cells the model gives it; since
        // the model has one owner per cell, no two seats overlap.
        for (int r = 0; r < N; ++r)
            for (int c = 0; c < N; ++c) {
                const Cell b = to_board(seat, {r, c});
                ASSERT_EQ(agent.board.test(cell_index(r, c)), model.owner(b.r, b.c) == seat)
                    << "own cell (" << r << ", " << c << ")";
            }
        EXPECT_TRUE((agent.board & ~VALID_CELLS).is_empty());
        if (model.placed(seat) > 0) {
            EXPECT_EQ(model.owner(to_board(seat, {0, 0}).r, to_board(seat, {0, 0}).c), seat);
        }
        EXPECT_EQ(agent.pieces_placed, model.placed(seat));
        for (int kind = 0; kind < KINDS; ++kind)
            EXPECT_EQ(agent.available_pieces.contains(ALL_PIECE_TYPES[kind]),
                      !model.used(seat, kind))
                << "kind " << kind;
        if (model.placed(seat) == 0) {
            EXPECT_FALSE(agent.last_piece.has_value());
        } else {
            EXPECT_EQ(agent.last_piece, ALL_PIECE_TYPES[model.last_kind(seat)]);
        }
        EXPECT_EQ(agent.done, model.done(seat));
        EXPECT_EQ(agent.mask_stale, model.stale(seat));
        const std::optional<std::int16_t> reward = game.rewards()[seat];
        ASSERT_EQ(reward.has_value(), model.done(seat));
        if (reward) {
            EXPECT_EQ(*reward, model.score(seat));
        }
    }
}

// Plays one game to the end with a uniform random legal policy, checking every observation and
// every turn against the model.
void play_and_check(std::uint32_t seed) {
    std::mt19937 rng(seed);
    const auto chance = [&](unsigned one_in) { return rng() % one_in == 0; };
    Game game;
    Model model;

    int turns = 0;
    for (; !model.all_done(); ++turns) {
        // 4 seats x 21 pieces, plus one pass per seat once it is done.
        ASSERT_LT(turns, 4 * 22 + 4) << "the game does not end";
        const int seat = static_cast<int>(game.agent_selection);
        ASSERT_EQ(seat, turns % SEATS);

        if (chance(4)) observe_both(game, model, (seat + 1 + static_cast<int>(rng() % 3)) % SEATS);
        if (game.agents[seat].done) {
            if (chance(3)) observe_both(game, model, seat);
            ASSERT_FALSE(game.step(std::nullopt));
            continue;
        }

        // A stale seat that has placed a piece is refused until it has been observed.
        if (model.stale(seat) && model.placed(seat) > 0 && chance(8)) {
            const Game before = game;
            const std::optional<InvalidAction> refusal = game.step(rng() % GRID_SIZE);
            ASSERT_TRUE(refusal.has_value());
            EXPECT_EQ(refusal->message, "Action mask is stale, call observe() first!");
            EXPECT_TRUE(same_game(game, before));
        }

        // A seat that has not placed anything may move without looking.
        std::vector<std::uint8_t> mask = model.placed(seat) == 0 && chance(2)
                                             ? model.legal(seat)
                                             : observe_both(game, model, seat);
        if (::testing::Test::HasFailure()) return;

        std::vector<std::size_t> legal;
        for (std::size_t g = 0; g < GRID_SIZE; ++g)
            if (mask[g]) legal.push_back(g);
        if (legal.empty()) {
            ASSERT_TRUE(game.agents[seat].done);
            ASSERT_FALSE(game.step(std::nullopt));
            continue;
        }
        if (chance(8)) {
            const Game before = game;
            std::size_t g = rng() % GRID_SIZE;
            while (mask[g]) g = rng() % GRID_SIZE;
            const std::optional<InvalidAction> refusal = game.step(g);
            ASSERT_TRUE(refusal.has_value()) << "accepted " << describe(g);
            EXPECT_EQ(refusal->message, "Action index not available");
            EXPECT_TRUE(same_game(game, before));
        }
        const std::size_t g =
            legal[std::uniform_int_distribution<std::size_t>(0, legal.size() - 1)(rng)];
        const std::optional<InvalidAction> refusal = game.step(g);
        ASSERT_FALSE(refusal.has_value()) << refusal->message << " for " << describe(g);
        model.place(seat, g);
        check_invariants(game, model);
        if (::testing::Test::HasFailure()) return;
    }

    check_invariants(game, model);
    for (int seat = 0; seat < SEATS; ++seat) {
        ASSERT_TRUE(game.agents[seat].done);
        const std::optional<std::int16_t> reward = game.rewards()[seat];
        ASSERT_TRUE(reward.has_value());
        EXPECT_TRUE((*reward >= -88 && *reward <= -1) || *reward == 15 || *reward == 20) << *reward;
    }
    // A finished game only passes turns.
    const Game finished = game;
    for (int i = 0; i < SEATS; ++i) EXPECT_FALSE(game.step(rng() % (GRID_SIZE + 1)));
    EXPECT_TRUE(same_game(game, finished));
}

TEST(RandomGames, ShapeTableMatchesTheCatalogueFigures) {
    // The model's own table, checked against the figures of the piece catalogue before it is
    // trusted as the reference: 89 cells in 21 kinds, and 30,433 placements on the board.
    int cells = 0;
    for (int kind = 0; kind < KINDS; ++kind) cells += naive::kind_cells(kind);
    EXPECT_EQ(cells, 89);
    int placements = 0;
    for (const naive::Shape& shape : naive::shapes()) {
        placements += (N + 1 - shape.height) * (N + 1 - shape.width);
        EXPECT_EQ(static_cast<int>(shape.cells.size()), naive::kind_cells(shape.kind));
    }
    EXPECT_EQ(placements, 30433);
    for (int seat = 0; seat < SEATS; ++seat)
        for (int r = 0; r < N; ++r)
            for (int c = 0; c < N; ++c)
                EXPECT_EQ(naive::to_own(seat, to_board(seat, {r, c})), (Cell{r, c}));
}

// 200 games by default; TAVLOK_DIFFERENTIAL_GAMES=N plays N for a longer run on demand.
std::uint32_t differential_games() {
    const char* text = std::getenv("TAVLOK_DIFFERENTIAL_GAMES");
    const long n = text != nullptr ? std::strtol(text, nullptr, 10) : 0;
    return n > 0 ? static_cast<std::uint32_t>(n) : 200;
}

TEST(RandomGames, EngineAgreesWithTheRulesAtEveryObservation) {
    const std::uint32_t games = differential_games();
    for (std::uint32_t seed = 1; seed <= games; ++seed) {
        SCOPED_TRACE(testing::Message() << "seed " << seed);
        play_and_check(seed);
        if (HasFailure()) return;
    }
}

}  // namespace
}  // namespace game
