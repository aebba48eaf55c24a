#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "game.hpp"
#include "game/state.hpp"
#include "game/view.hpp"
#include "support/drivers.hpp"
#include "support/fatal.hpp"
#include "support/naive_model.hpp"

namespace game {
namespace {

using namespace support;

using naive::Cell;

// Gives `seat` monominoes on the cells listed in seat 0's frame, then hands it back every piece
// so that observing it decides every piece on this board. Seat 0 is to move afterwards.
void occupy(Game& game, std::size_t seat, const std::vector<Cell>& cells_in_seat0_frame) {
    for (const Cell& cell : cells_in_seat0_frame) {
        const Cell own = naive::to_own(static_cast<int>(seat), cell);
        force(game, seat, grid(MONOMINO, own.r, own.c));
    }
    game.agents[seat].available_pieces = PieceSet::all();
    game.agent_selection = 0;
}

std::uint8_t plane_byte(const Observation& view, std::size_t plane, std::size_t r, std::size_t c) {
    return view.observation[plane * 400 + r * 20 + c];
}

std::size_t ones(const Bytes& bytes) {
    return static_cast<std::size_t>(std::count(bytes.begin(), bytes.end(), 1));
}

bool all_zero(const Bytes& bytes) {
    return std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0; });
}

// Expects the planes to hold exactly the listed cells, plane by plane.
void expect_planes(const Observation& view,
                   std::initializer_list<std::pair<std::size_t, Cell>> cells) {
    ASSERT_EQ(view.observation.size(), 1600u);
    for (const auto& [plane, cell] : cells)
        EXPECT_EQ(plane_byte(view, plane, cell.r, cell.c), 1)
            << "plane " << plane << " (" << cell.r << ", " << cell.c << ")";
    EXPECT_EQ(ones(view.observation), cells.size());
    for (std::uint8_t b : view.observation) ASSERT_LE(b, 1);
}

// A few moves into a game: every seat opened on its corner, seat 0 has played a second piece.
Game game_in_progress() {
    Game game;
    for (std::size_t seat = 0; seat < NUM_AGENTS; ++seat)
        EXPECT_FALSE(game.step(grid(MONOMINO, 0, 0)));
    game.observe(0);
    EXPECT_FALSE(game.step(grid(DOMINO_FLAT, 1, 1)));
    return game;
}

TEST(Observe, EachSeatSeesTheOthersTurnedIntoItsFrame) {
    // Own-frame cell (2, 5) of seat p + k, seen by seat p, in plane k.
    const Cell expected[NUM_AGENTS] = {{2, 5}, {5, 17}, {17, 14}, {14, 2}};
    for (std::size_t observer = 0; observer < NUM_AGENTS; ++observer) {
        for (std::size_t k = 0; k < NUM_AGENTS; ++k) {
            SCOPED_TRACE(testing::Message() << "observer " << observer << ", plane " << k);
            Game game;
            force(game, (observer + k) % 4, grid(MONOMINO, 2, 5));
            expect_planes(game.observe(observer), {{k, expected[k]}});
        }
    }
}

TEST(Observe, StartCornerMonominoSeenFromEverySeat) {
    Game game;
    ASSERT_FALSE(game.step(grid(MONOMINO, 0, 0)));
    expect_planes(game.observe(0), {{0, {0, 0}}});
    expect_planes(game.observe(1), {{3, {19, 0}}});
    expect_planes(game.observe(2), {{2, {19, 19}}});
    expect_planes(game.observe(3), {{1, {0, 19}}});
}

TEST(Observe, NewGameShowsEmptyPlanesAndTheStartCornerMoves) {
    Game game;
    const Observation view = game.observe(0);
    EXPECT_TRUE(all_zero(view.observation));
    ASSERT_EQ(view.action_mask.size(), 36400u);
    EXPECT_EQ(ones(view.action_mask), 58u);
    // Every opening puts its bounding box on the corner.
    for (std::size_t g = 0; g < view.action_mask.size(); ++g) {
        if (view.action_mask[g] == 1) {
            EXPECT_EQ(g % 400, 0u) << g;
        }
    }
    EXPECT_FALSE(game.agents[0].done);
}

TEST(ObserveLegality, EdgeContactWithOwnPieceRefusedDespiteACornerContact) {
    Game game;
    occupy(game, 0, {{5, 5}, {6, 7}});
    const Observation view = game.observe(0);
    // (5, 6) touches (6, 7) at a corner but shares an edge with (5, 5); (6, 6) the other way round.
    EXPECT_EQ(view.action_mask[grid(MONOMINO, 5, 6)], 0);
    EXPECT_EQ(view.action_mask[grid(MONOMINO, 6, 6)], 0);
    // A standing domino on (6, 8)-(7, 8): (7, 8) touches (6, 7) at a corner, (6, 8) is beside it.
    EXPECT_EQ(view.action_mask[grid(DOMINO_STANDING, 6, 8)], 0);
    EXPECT_EQ(view.action_mask[grid(MONOMINO, 5, 5)], 0);  // covers an own cell
    // Corner contact alone is enough.
    EXPECT_EQ(view.action_mask[grid(MONOMINO, 4, 6)], 1);
    EXPECT_EQ(view.action_mask[grid(MONOMINO, 7, 8)], 1);
    EXPECT_EQ(view.action_mask[grid(DOMINO_STANDING, 7, 8)], 1);
    // No contact at all.
    EXPECT_EQ(view.action_mask[grid(MONOMINO, 10, 10)], 0);
}

TEST(ObserveLegality, OtherSeatsMayBeTouchedButNotCovered) {
    Game game;
    occupy(game, 0, {{5, 5}});
    // Around (6, 6), the own corner contact: seat 1 and seat 3 beside it, seat 2 at its corner.
    // Each other seat also holds one of the own cell's other diagonal neighbours.
    occupy(game, 1, {{6, 7}, {4, 4}});
    occupy(game, 2, {{7, 7}, {4, 6}});
    occupy(game, 3, {{7, 6}, {6, 4}});
    const Observation view = game.observe(0);
    EXPECT_EQ(view.action_mask[grid(MONOMINO, 6, 6)], 1);
    EXPECT_EQ(view.action_mask[grid(MONOMINO, 4, 4)], 0);
    EXPECT_EQ(view.action_mask[grid(MONOMINO, 4, 6)], 0);
    EXPECT_EQ(view.action_mask[grid(MONOMINO, 6, 4)], 0);
    // The other seats' cells show where they were put.
    EXPECT_EQ(plane_byte(view, 1, 6, 7), 1);
    EXPECT_EQ(plane_byte(view, 2, 7, 7), 1);
    EXPECT_EQ(plane_byte(view, 3, 7, 6), 1);
}

TEST(ObserveLegality, NoContactWrapsBetweenRows) {
    // Seat 0's own cells, and placements with whether observing finds them legal.
    struct Case {
        std::vector<Cell> own;
        std::vector<std::pair<std::size_t, std::uint8_t>> legal;
    };
    const Case cases[] = {
        // An own cell in column 19 is neither beside nor diagonal to column 0 of the next row.
        {{{3, 19}},
         {{grid(MONOMINO, 4, 0), 0}, {grid(MONOMINO, 4, 18), 1}, {grid(MONOMINO, 2, 18), 1}}},
        {{{3, 19}, {5, 1}}, {{grid(MONOMINO, 4, 0), 1}}},
        // An own cell in column 0 is neither beside nor diagonal to column 19 of the row above.
        {{{4, 0}},
         {{grid(MONOMINO, 3, 19), 0}, {grid(MONOMINO, 3, 1), 1}, {grid(MONOMINO, 5, 1), 1}}},
        {{{4, 0}, {2, 18}}, {{grid(MONOMINO, 3, 19), 1}}},
        // A piece never runs on past the last column or row: a domino anchored on it is no
        // placement, although its first cell would touch an own corner.
        {{{3, 18}, {18, 0}},
         {{grid(MONOMINO, 4, 19), 1},
          {grid(DOMINO_FLAT, 4, 19), 0},
          {grid(MONOMINO, 19, 1), 1},
          {grid(DOMINO_STANDING, 19, 1), 0}}},
    };
    for (const Case& c : cases) {
        Game game;
        occupy(game, 0, c.own);
        const Observation view = game.observe(0);
        for (const auto& [g, legal] : c.legal)
            EXPECT_EQ(view.action_mask[g], legal) << naive::describe(g);
    }
}

TEST(Observe, ObservingTwiceGivesTheSameView) {
    Game game = game_in_progress();
    for (std::size_t seat = 0; seat < NUM_AGENTS; ++seat) {
        const Observation first = game.observe(seat);
        const Game after_first = game;
        const Observation second = game.observe(seat);
        EXPECT_EQ(first.observation, second.observation) << "seat " << seat;
        EXPECT_EQ(first.action_mask, second.action_mask) << "seat " << seat;
        EXPECT_TRUE(same_game(game, after_first)) << "seat " << seat;
    }
}

TEST(Observe, SeatThatHasNotMovedKeepsItsOpeningMask) {
    Game game;
    const Bytes opening = Game().observe(1).action_mask;
    ASSERT_FALSE(game.step(grid(MONOMINO, 0, 0)));
    const ActionMask before = game.agents[1].action_mask;
    ASSERT_TRUE(game.agents[1].mask_stale);
    const Observation view = game.observe(1);
    EXPECT_EQ(view.action_mask, opening);
    EXPECT_TRUE(game.agents[1].action_mask == before);
    EXPECT_FALSE(game.agents[1].mask_stale);
    EXPECT_FALSE(game.agents[1].done);
}

TEST(Observe, SeatOutOfTurnIsRecomputedAndMayBecomeDone) {
    // Seat 2 opens with the monomino on its corner, so (1, 1) of its frame is its only way on.
    // Seat 2's (1, 1) is seat 0's (18, 18), half a turn away.
    const auto opening = [](bool seat0_takes_the_way_on) {
        Game game;
        if (seat0_takes_the_way_on)
            force(game, 0, grid(MONOMINO, 18, 18));
        else
            EXPECT_FALSE(game.step(grid(MONOMINO, 0, 0)));
        EXPECT_FALSE(game.step(grid(MONOMINO, 0, 0)));
        EXPECT_FALSE(game.step(grid(MONOMINO, 0, 0)));
        return game;
    };

    {
        Game game = opening(false);
        const Observation view = game.observe(2);
        EXPECT_FALSE(game.agents[2].done);
        EXPECT_FALSE(game.agents[2].mask_stale);
        EXPECT_EQ(view.action_mask[grid(DOMINO_FLAT, 1, 1)], 1);
        EXPECT_EQ(view.action_mask[grid(DOMINO_FLAT, 0, 1)], 0);
        EXPECT_EQ(game.agent_selection, 3u);
    }

    Game game = opening(true);
    ASSERT_EQ(game.agent_selection, 3u);
    const Observation view = game.observe(2);
    EXPECT_TRUE(game.agents[2].done);
    EXPECT_FALSE(game.agents[2].mask_stale);
    EXPECT_EQ(game.agents[2].action_mask.count(), 0u);
    EXPECT_TRUE(all_zero(view.action_mask));
    EXPECT_EQ(game.agent_selection, 3u);
    EXPECT_EQ(game.rewards()[2], -88);

    // Seat 3 moves, which stales every mask. Observing the done seat then gives an all-zero mask
    // and the current boards, and clears its stale flag.
    ASSERT_FALSE(game.step(grid(MONOMINO, 0, 0)));
    ASSERT_TRUE(game.agents[2].mask_stale);
    const Observation done_view = game.observe(2);
    EXPECT_EQ(done_view.action_mask.size(), 36400u);
    EXPECT_TRUE(all_zero(done_view.action_mask));
    EXPECT_FALSE(game.agents[2].mask_stale);
    EXPECT_TRUE(game.agents[2].done);
    // Own corner; seat 3's a quarter turn clockwise; seat 0's (18, 18) half a turn; seat 1's a
    // quarter turn anticlockwise.
    expect_planes(done_view, {{0, {0, 0}}, {1, {0, 19}}, {2, {1, 1}}, {3, {19, 0}}});
}

TEST(Observe, SeatWithEveryPiecePlacedIsDoneOnItsNextObservation) {
    Game game;
    ASSERT_FALSE(game.step(grid(MONOMINO, 0, 0)));
    // Only the corner is covered, so the open board would leave room for any piece still in
    // hand: the seat is done because it holds none, not because the board is full.
    Agent& seat0 = game.agents[0];
    seat0.available_pieces = PieceSet();
    seat0.action_mask = ActionMask{};
    seat0.pieces_placed = 21;
    EXPECT_FALSE(game.rewards()[0].has_value());
    EXPECT_TRUE(all_zero(game.observe(0).action_mask));
    EXPECT_TRUE(game.agents[0].done);
    EXPECT_EQ(game.rewards()[0], 20);
}

TEST(Observe, SeatFourIsRejectedAndChangesNothing) {
    Game game = game_in_progress();
    const Game before = game;
    const std::size_t bad_seats[] = {4, 5, std::numeric_limits<std::size_t>::max()};
    for (std::size_t seat : bad_seats) {
        const std::string refusal =
            "agent index " + std::to_string(seat) + " out of range [0, 3]";
        EXPECT_EQ(panic_message([&] { (void)game.observe(seat); }), refusal);
        EXPECT_EQ(panic_message([&] { (void)game.align_boards(seat); }), refusal);
    }
    EXPECT_TRUE(same_game(game, before));
    // The game stays usable.
    game.observe(1);
    EXPECT_FALSE(game.step(grid(DOMINO_FLAT, 1, 1)));
}

}  // namespace
}  // namespace game

namespace game {
namespace {

// The one writer of a seat's view (write_view) gives what observe gives, for the same seat of the
// same game played as a State, in bytes and in packed bits, and overwrites what the arrays held.
TEST(WriteView, MatchesObserveInBytesAndBits) {
    Game played;
    State state;
    std::mt19937 rng(11);
    std::vector<std::uint8_t> planes(PLANE_BYTES), mask(NUM_GRID_INDICES),
        bits(NUM_GRID_INDICES / 8), hands(HAND_BYTES);
    std::int8_t seat_shown = -1;
    FieldArrays out;
    out.set(Field::Observation, planes.data());
    out.set(Field::MaskBytes, mask.data());
    out.set(Field::MaskBits, bits.data());
    out.set(Field::Hands, hands.data());
    out.set(Field::Seat, &seat_shown);
    for (int turn = 0; turn < 120; ++turn) {
        const std::size_t seat = played.agent_selection;
        const Observation expected = played.observe(seat);
        std::fill(planes.begin(), planes.end(), 7);
        std::fill(mask.begin(), mask.end(), 7);
        std::fill(bits.begin(), bits.end(), 0xff);
        const ActionMask legal = state.legal_mask(seat);
        write_view({state.seen_by(seat), seat, &legal}, out, 0);
        ASSERT_TRUE(std::ranges::equal(planes, expected.observation));
        ASSERT_TRUE(std::ranges::equal(mask, expected.action_mask));
        for (std::size_t g = 0; g < NUM_GRID_INDICES; ++g)
            ASSERT_EQ((bits[g / 8] >> (7 - g % 8)) & 1, expected.action_mask[g]) << g;
        for (std::size_t k = 0; k < NUM_AGENTS; ++k)
            for (std::size_t j = 0; j < NUM_PIECE_TYPES; ++j)
                ASSERT_EQ(hands[k * NUM_PIECE_TYPES + j],
                          played.agents[(seat + k) % NUM_AGENTS].available_pieces.contains(
                              ALL_PIECE_TYPES[j]));
        ASSERT_EQ(seat_shown, static_cast<std::int8_t>(seat));

        std::vector<std::size_t> legal_moves;
        for (std::size_t g = 0; g < NUM_GRID_INDICES; ++g)
            if (expected.action_mask[g]) legal_moves.push_back(g);
        if (legal_moves.empty()) {
            played.step(std::nullopt);
        } else {
            const std::size_t g = legal_moves[rng() % legal_moves.size()];
            ASSERT_FALSE(played.step(g).has_value());
            ASSERT_FALSE(state.apply(g).has_value());
        }
    }
}

}  // namespace
}  // namespace game
