#include "game.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <limits>
#include <optional>

#include "support/drivers.hpp"

namespace game {
namespace {

using namespace support;

// The 21 pieces hold 1 + 2 + 3 + 3 + 5 * 4 + 12 * 5 cells.
constexpr int ALL_CELLS = 1 + 2 + 2 * 3 + 5 * 4 + 12 * 5;

// Expects step to refuse with `message` and leave the game exactly as it was.
void expect_refused(Game& game, std::optional<std::size_t> action, const char* message) {
    const Game before = game;
    const std::optional<InvalidAction> refusal = game.step(action);
    ASSERT_TRUE(refusal.has_value());
    EXPECT_EQ(refusal->message, message);
    EXPECT_EQ(refusal->to_string(), std::string("Invalid action: ") + message);
    EXPECT_TRUE(same_game(game, before));
}

void expect_accepted(Game& game, std::size_t action) {
    const std::optional<InvalidAction> refusal = game.step(action);
    EXPECT_FALSE(refusal.has_value()) << refusal->message << " for grid index " << action;
}

// Every seat opens with the one-cell piece on its own start corner.
void open_with_monominoes(Game& game) {
    for (std::size_t seat = 0; seat < NUM_AGENTS; ++seat)
        expect_accepted(game, grid(MONOMINO, 0, 0));
}

// Puts the agent in the state of a finished seat that kept `kept` and placed everything else.
void finish(Agent& agent, std::initializer_list<PieceType> kept, PieceType last) {
    agent.available_pieces = PieceSet::all();
    for (PieceType t : ALL_PIECE_TYPES) {
        bool keep = false;
        for (PieceType k : kept) keep = keep || k == t;
        if (!keep) agent.available_pieces.remove(t);
    }
    agent.pieces_placed = static_cast<std::uint8_t>(21 - kept.size());
    agent.last_piece = last;
    agent.done = true;
}

TEST(GameNew, StartsWithSeatZeroAndFourFreshAgents) {
    Game game;
    EXPECT_EQ(game.agent_selection, 0u);
    EXPECT_EQ(game.num_agents, 4u);
    EXPECT_EQ(game.action_set, &ACTION_SET());
    for (std::size_t p = 0; p < NUM_AGENTS; ++p)
        for (std::size_t k = 0; k < NUM_AGENTS; ++k) EXPECT_EQ(game.seat_order[p][k], (p + k) % 4);
    for (std::size_t seat = 0; seat < NUM_AGENTS; ++seat) {
        const Agent& agent = game.agents[seat];
        EXPECT_EQ(agent.index, seat);
        EXPECT_EQ(agent.available_pieces.size(), 21u);
        EXPECT_TRUE(agent.board.is_empty());
        EXPECT_EQ(agent.pieces_placed, 0u);
        EXPECT_FALSE(agent.last_piece.has_value());
        EXPECT_FALSE(agent.done);
        EXPECT_FALSE(agent.mask_stale);
        EXPECT_EQ(agent.action_mask.count(), 58u);
    }
    for (const auto& score : game.rewards()) EXPECT_FALSE(score.has_value());
}

TEST(GameNew, AgentsOwnSeparateMasks) {
    Game game;
    game.agents[2].action_mask = ActionMask{};
    EXPECT_EQ(game.agents[0].action_mask.count(), 58u);
    EXPECT_EQ(game.agents[1].action_mask.count(), 58u);
    EXPECT_EQ(game.agents[3].action_mask.count(), 58u);
}

TEST(GameStep, RefusesIndicesThatNameNoAvailableAction) {
    Game game;
    const char* const message = "Action index not available";
    expect_refused(game, std::nullopt, message);
    expect_refused(game, 36400, message);
    expect_refused(game, std::numeric_limits<std::size_t>::max(), message);
    // A flat domino at column 19 would stick out of the board: no action has that grid index.
    expect_refused(game, grid(DOMINO_FLAT, 0, 19), message);
    // A real placement that misses the start corner is not in a fresh seat's mask.
    expect_refused(game, grid(MONOMINO, 5, 5), message);
    expect_refused(game, grid(PENTOMINO_I_FLAT, 0, 1), message);
    EXPECT_EQ(game.agent_selection, 0u);
}

TEST(GameStep, PlacementUpdatesTheMoverAndStalesEveryMask) {
    Game game;
    const Game before = game;
    expect_accepted(game, grid(TROMINO_L_FIRST, 0, 0));  // XX / X. on the start corner

    const Agent& mover = game.agents[0];
    EXPECT_EQ(mover.board, Bitboard::cell(0, 0) | Bitboard::cell(0, 1) | Bitboard::cell(1, 0));
    EXPECT_EQ(mover.pieces_placed, 1u);
    EXPECT_FALSE(mover.available_pieces.contains(PieceType::TrominoL));
    EXPECT_EQ(mover.available_pieces.size(), 20u);
    EXPECT_EQ(mover.last_piece, PieceType::TrominoL);
    // Three of the four L orientations have their top-left square filled and so covered the
    // start corner at offset (0, 0); all three leave the mask with the piece.
    EXPECT_EQ(mover.action_mask.count(), 58u - 3u);
    EXPECT_FALSE(mover.done);
    for (const Agent& agent : game.agents) EXPECT_TRUE(agent.mask_stale);
    EXPECT_EQ(game.agent_selection, 1u);
    for (std::size_t seat = 1; seat < NUM_AGENTS; ++seat) {
        EXPECT_EQ(game.agents[seat].board, before.agents[seat].board);
        EXPECT_TRUE(game.agents[seat].action_mask == before.agents[seat].action_mask);
        EXPECT_EQ(game.agents[seat].pieces_placed, 0u);
    }
}

TEST(GameStep, FirstMovesNeedNoObservation) {
    Game game;
    const std::size_t openings[] = {grid(MONOMINO, 0, 0), grid(DOMINO_FLAT, 0, 0),
                                    grid(TROMINO_I_FLAT, 0, 0), grid(PENTOMINO_I_FLAT, 0, 0)};
    for (std::size_t seat = 0; seat < NUM_AGENTS; ++seat) {
        EXPECT_EQ(game.agent_selection, seat);
        // Every seat after the first has seen another move and is stale, but has placed nothing.
        EXPECT_EQ(game.agents[seat].mask_stale, seat != 0);
        expect_accepted(game, openings[seat]);
    }
    EXPECT_EQ(game.agent_selection, 0u);
    for (const Agent& agent : game.agents) EXPECT_EQ(agent.pieces_placed, 1u);
}

TEST(GameStep, StaleMaskRefusedUntilTheMoverIsObserved) {
    Game game;
    open_with_monominoes(game);
    // A flat domino at (1, 1) touches the monomino on (0, 0) at a corner only: legal once
    // observed.
    const std::size_t next_move = grid(DOMINO_FLAT, 1, 1);
    const char* const stale = "Action mask is stale, call observe() first!";
    expect_refused(game, next_move, stale);
    // Staleness is checked before the action is looked at.
    expect_refused(game, std::nullopt, stale);
    expect_refused(game, 36400, stale);

    // An observation of another seat does not help.
    for (std::size_t other = 1; other < NUM_AGENTS; ++other) {
        game.observe(other);
        EXPECT_FALSE(game.agents[other].mask_stale);
        expect_refused(game, next_move, stale);
    }

    game.observe(0);
    EXPECT_FALSE(game.agents[0].mask_stale);
    expect_accepted(game, next_move);
    EXPECT_EQ(game.agents[0].board,
              Bitboard::cell(0, 0) | Bitboard::cell(1, 1) | Bitboard::cell(1, 2));
    for (const Agent& agent : game.agents) EXPECT_TRUE(agent.mask_stale);

    // Seat 1 observed before seat 0's second move, so that observation went stale again.
    EXPECT_EQ(game.agent_selection, 1u);
    expect_refused(game, grid(MONOMINO, 1, 1), stale);
    game.observe(1);
    expect_refused(game, grid(MONOMINO, 0, 0), "Action index not available");     // piece used
    expect_refused(game, grid(DOMINO_FLAT, 0, 1), "Action index not available");  // shares an edge
    expect_accepted(game, grid(DOMINO_FLAT, 1, 1));
}

TEST(GameStep, PlacedPieceCannotBePlacedAgainInAnyOrientation) {
    Game game;
    expect_accepted(game, grid(TROMINO_L_FIRST, 0, 0));  // covers (0, 0), (0, 1), (1, 0)
    for (std::size_t seat = 1; seat < NUM_AGENTS; ++seat)
        expect_accepted(game, grid(MONOMINO, 0, 0));
    const Observation view = game.observe(0);

    // The seat still has room for three cells: a straight tromino touching (1, 0) at a corner.
    EXPECT_EQ(view.action_mask[grid(TROMINO_I_FLAT, 2, 1)], 1);

    const Game before = game;
    for (std::size_t o = TROMINO_L_FIRST; o <= TROMINO_L_LAST; ++o) {
        for (std::size_t position = 0; position < 400; ++position) {
            const std::size_t g = o * 400 + position;
            EXPECT_EQ(view.action_mask[g], 0) << "grid index " << g;
            const std::optional<InvalidAction> refusal = game.step(g);
            ASSERT_TRUE(refusal.has_value()) << "grid index " << g;
            EXPECT_EQ(refusal->message, "Action index not available");
        }
    }
    EXPECT_TRUE(same_game(game, before));
}

TEST(GameStep, DoneSeatPassesWhateverTheAction) {
    Game game;
    open_with_monominoes(game);
    Agent& seat1 = game.agents[1];
    seat1.done = true;
    seat1.action_mask = ActionMask{};
    // A done seat passes even while its mask is stale.
    ASSERT_TRUE(seat1.mask_stale);

    const std::optional<std::size_t> actions[] = {std::nullopt,
                                                  grid(MONOMINO, 0, 0),
                                                  grid(DOMINO_FLAT, 0, 19),
                                                  36399,
                                                  36400,
                                                  std::numeric_limits<std::size_t>::max()};
    for (const std::optional<std::size_t>& action : actions) {
        game.agent_selection = 1;
        Game passed = game;
        passed.agent_selection = 2;
        EXPECT_FALSE(game.step(action).has_value());
        EXPECT_TRUE(same_game(game, passed));
    }

    // With every seat done, steps only cycle the seat to move.
    for (Agent& agent : game.agents) agent.done = true;
    game.agent_selection = 3;
    for (std::size_t expected : {0u, 1u, 2u, 3u, 0u}) {
        EXPECT_FALSE(game.step(std::nullopt).has_value());
        EXPECT_EQ(game.agent_selection, expected);
    }
}

TEST(GameRewards, ScoresOnlyDoneSeats) {
    Game game;
    open_with_monominoes(game);
    for (const auto& score : game.rewards()) EXPECT_FALSE(score.has_value());

    // Placing everything does not score until the seat is done.
    finish(game.agents[1], {}, PieceType::Monomino);
    game.agents[1].done = false;
    game.agents[3].done = true;  // placed only its monomino
    const auto scores = game.rewards();
    EXPECT_FALSE(scores[0].has_value());
    EXPECT_FALSE(scores[1].has_value());
    EXPECT_FALSE(scores[2].has_value());
    EXPECT_EQ(scores[3], -(ALL_CELLS - 1));
}

TEST(GameRewards, MinusTheCellsStillInHand) {
    Game game;
    finish(game.agents[0], {PieceType::Monomino}, PieceType::PentominoI);
    finish(game.agents[1], {PieceType::PentominoI, PieceType::TetrominoO}, PieceType::Domino);
    finish(game.agents[2], {PieceType::Domino, PieceType::TrominoL, PieceType::PentominoX},
           PieceType::Monomino);
    // Only the five-cell straight placed: everything else still in hand.
    Agent& opener = game.agents[3];
    opener.available_pieces.remove(PieceType::PentominoI);
    opener.pieces_placed = 1;
    opener.last_piece = PieceType::PentominoI;
    opener.done = true;

    const auto scores = game.rewards();
    EXPECT_EQ(scores[0], -1);
    EXPECT_EQ(scores[1], -(5 + 4));
    EXPECT_EQ(scores[2], -(2 + 3 + 5));
    EXPECT_EQ(scores[3], -(ALL_CELLS - 5));
}

TEST(GameRewards, BonusForPlacingEveryPiece) {
    Game game;
    finish(game.agents[0], {}, PieceType::Monomino);
    finish(game.agents[1], {}, PieceType::PentominoI);
    finish(game.agents[2], {}, PieceType::Domino);
    finish(game.agents[3], {PieceType::Monomino}, PieceType::Domino);
    const auto scores = game.rewards();
    EXPECT_EQ(scores[0], 20);
    EXPECT_EQ(scores[1], 15);
    EXPECT_EQ(scores[2], 15);
    EXPECT_EQ(scores[3], -1);
}

}  // namespace
}  // namespace game
