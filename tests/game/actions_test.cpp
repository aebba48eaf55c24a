#include "game/actions.hpp"

#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "game/legal_lists.hpp"
#include "game/rules.hpp"
#include "support/drivers.hpp"
#include "support/fatal.hpp"

namespace game {
namespace {

TEST(ActionSet, FiguresOfTheActionSpace) {
    const ActionSet& set = ACTION_SET();
    EXPECT_EQ(&set, &ACTION_SET());
    EXPECT_EQ(set.grid.size(), 36400u);
    EXPECT_EQ(set.num_orientations(), 91u);
    EXPECT_EQ(set.actions.size(), 30433u);
    const std::size_t empty =
        static_cast<std::size_t>(std::count(set.grid.begin(), set.grid.end(), std::nullopt));
    EXPECT_EQ(empty, 5967u);

    std::array<std::size_t, 6> by_size{};
    for (const Action& a : set.actions) by_size[num_cells(a.piece_type)] += 1;
    EXPECT_EQ(by_size[1], 400u);
    EXPECT_EQ(by_size[2], 760u);
    EXPECT_EQ(by_size[3], 2164u);
    EXPECT_EQ(by_size[4], 6513u);
    EXPECT_EQ(by_size[5], 20596u);
}

TEST(ActionSet, GridAndActionsAgree) {
    const ActionSet& set = ACTION_SET();
    for (std::size_t i = 0; i < set.actions.size(); ++i) {
        ASSERT_TRUE(set.grid[set.actions[i].grid_index].has_value());
        EXPECT_EQ(*set.grid[set.actions[i].grid_index], i);
        if (i > 0) {
            EXPECT_LT(set.actions[i - 1].grid_index, set.actions[i].grid_index);
        }
    }
    // A grid index whose orientation sticks out past column 19 names no action.
    EXPECT_FALSE(set.grid[1 * 400 + 19].has_value());       // flat domino at column 19
    EXPECT_FALSE(set.grid[2 * 400 + 19 * 20].has_value());  // standing domino at row 19
    for (std::size_t g = 0; g < 400; ++g) {
        EXPECT_EQ(set.grid[g], g);
        EXPECT_EQ(set.actions[g].cells, Bitboard::cell(g / 20, g % 20));
    }
}

TEST(ActionSet, PieceRangesPartitionTheActions) {
    const ActionSet& set = ACTION_SET();
    std::size_t next = 0;
    for (PieceType t : ALL_PIECE_TYPES) {
        const IndexRange r = set.piece_ranges[position(t)];
        EXPECT_EQ(r.start, next) << name(t);
        EXPECT_LT(r.start, r.end);
        for (std::size_t i = r.start; i < r.end; ++i) EXPECT_EQ(set.actions[i].piece_type, t);
        next = r.end;
    }
    EXPECT_EQ(next, set.actions.size());
    EXPECT_EQ(set.piece_ranges[position(PieceType::Monomino)].start, 0u);
    EXPECT_EQ(set.piece_ranges[position(PieceType::Monomino)].end, 400u);
}

TEST(ActionSet, InitialActionsCoverTheStartCorner) {
    const ActionSet& set = ACTION_SET();
    const Vec<bool> initial = set.initial_actions();
    ASSERT_EQ(initial.size(), set.actions.size());
    EXPECT_EQ(std::count(initial.begin(), initial.end(), true), 58);
    for (std::size_t i = 0; i < initial.size(); ++i) {
        EXPECT_EQ(initial[i], set.actions[i].cells.test(0)) << i;
        if (initial[i]) {
            EXPECT_EQ(set.actions[i].grid_index % 400, 0u);
        }
        EXPECT_EQ(set.initial_mask.test_grid(set.actions[i].grid_index), initial[i]);
    }
}

TEST(ActionSet, GridMaskLaysMasksOnTheGrid) {
    const ActionSet& set = ACTION_SET();
    const Bytes none = set.grid_mask(Vec<bool>{});
    EXPECT_EQ(none.size(), 36400u);
    EXPECT_EQ(std::accumulate(none.begin(), none.end(), 0), 0);
    EXPECT_EQ(set.grid_mask(Vec<bool>(set.actions.size(), false)), none);

    // A short mask leaves the remaining actions 0; a long one is cut at the number of actions.
    Vec<bool> short_mask(401, true);
    const Bytes short_bytes = set.grid_mask(short_mask);
    EXPECT_EQ(std::accumulate(short_bytes.begin(), short_bytes.end(), 0), 401);
    EXPECT_EQ(short_bytes[1 * 400 + 0], 1);  // action 400: flat domino at (0, 0)
    const Bytes all = set.grid_mask(Vec<bool>(set.actions.size() + 10, true));
    EXPECT_EQ(std::accumulate(all.begin(), all.end(), 0), 30433);
    for (std::size_t g = 0; g < all.size(); ++g) EXPECT_EQ(all[g], set.grid[g].has_value());

    // The bitset form gives the same bytes as the bool form.
    EXPECT_EQ(set.grid_mask(set.initial_mask), set.grid_mask(set.initial_actions()));
}

TEST(ActionMask, CountsAndRanksItsGridIndicesInGridOrder) {
    // Masks of every kind of density: none, the openings, mid-game positions, every placement.
    std::vector<ActionMask> masks = {ActionMask{}, ACTION_SET().initial_mask};
    for (unsigned seed = 1; seed <= 6; ++seed)
        masks.push_back(support::random_state(seed, seed * 9).legal_mask());
    ActionMask all;
    for (std::size_t g = 0; g < NUM_GRID_INDICES; ++g)
        if (ACTION_SET().grid[g]) all.set_grid(g);
    masks.push_back(all);
    for (const ActionMask& mask : masks) {
        std::vector<std::size_t> expected;
        for (std::size_t g = 0; g < NUM_GRID_INDICES; ++g)
            if (mask.test_grid(g)) expected.push_back(g);
        ASSERT_EQ(mask.count(), expected.size());
        // Every rank of the game's masks; a spread of the 30,433 of the full one.
        const std::size_t stride = expected.size() > MAX_LEGAL_PLACEMENTS ? 13 : 1;
        // A key is a fraction of the way through the list of the orientations picked among:
        // rank floor(key * n / 2^64).
        const auto expect_picks = [&](IndexRange among) {
            std::vector<std::size_t> listed;
            for (const std::size_t g : expected) {
                const std::size_t o = g / CELLS_PER_ORIENTATION;
                if (o >= among.start && o < among.end) listed.push_back(g);
            }
            if (listed.empty()) {
                EXPECT_EQ(support::panic_message([&] { (void)mask.grid_at_fraction(0, among); }),
                          "no legal action to pick");
                return;
            }
            EXPECT_EQ(mask.grid_at_fraction(0, among), listed.front());
            EXPECT_EQ(mask.grid_at_fraction(UINT64_MAX, among), listed.back());
            for (std::size_t k = 0; k < listed.size(); k += stride) {
                // The smallest key of rank k: k * 2^64 / n, rounded up.
                const auto first = static_cast<std::uint64_t>(
                    ((u128{k} << 64) + listed.size() - 1) / listed.size());
                ASSERT_EQ(mask.grid_at_fraction(first, among), listed[k]) << "rank " << k;
                if (k > 0) {
                    ASSERT_EQ(mask.grid_at_fraction(first - 1, among), listed[k - 1]);
                }
            }
        };
        expect_picks(ALL_ORIENTATIONS);
        // The pentominoes' orientations less the last, as the search picks among one size.
        expect_picks({ACTION_SET().orientations_of(PieceType::PentominoF).start,
                      NUM_ORIENTATIONS - 1});
        // As a list, in a buffer of exactly the room asked for (the sanitizer builds catch a
        // write past it); one longer than asked for is cut short within the word past it.
        std::vector<std::uint16_t> list(MAX_LEGAL_PLACEMENTS + CELLS_PER_ORIENTATION);
        const std::size_t length = mask.write_grid_list(list.data(), MAX_LEGAL_PLACEMENTS);
        if (expected.size() > MAX_LEGAL_PLACEMENTS) {
            EXPECT_GT(length, MAX_LEGAL_PLACEMENTS);
            EXPECT_LE(length, MAX_LEGAL_PLACEMENTS + 64);
            expected.resize(length);
        } else {
            ASSERT_EQ(length, expected.size());
        }
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), list.begin()));
    }
}

TEST(CountedAnchors, PickAsTheMaskOfTheSamePositionDoes) {
    // One object for every position, from crowded to sparse hands, so that what an earlier
    // position left in it would show.
    CountedAnchors counted;
    std::size_t positions = 0;
    for (unsigned seed = 1; seed <= 4; ++seed)
        for (std::size_t placements = 4; placements <= 80; placements += 6) {
            const State state = support::random_state(seed, placements);
            if (state.is_terminal()) break;
            for (std::size_t seat = 0; seat < NUM_AGENTS; ++seat) {
                const TableView seen = state.seen_by(seat);
                if (seen.observer().pieces_placed == 0 || seen.observer().done) continue;
                const ActionMask mask = legal_mask(seen);
                ASSERT_EQ(write_legal_anchors(seen, counted), mask.any());
                ASSERT_EQ(counted.count(), mask.count());
                ++positions;
                if (!mask.any()) {
                    EXPECT_EQ(support::panic_message([&] { (void)counted.grid_at_fraction(0); }),
                              "no legal action to pick");
                    continue;
                }
                // Both ends, and the first key of every rank with the key just below it.
                ASSERT_EQ(counted.grid_at_fraction(0), mask.grid_at_fraction(0));
                ASSERT_EQ(counted.grid_at_fraction(UINT64_MAX), mask.grid_at_fraction(UINT64_MAX));
                const std::size_t n = mask.count();
                for (std::size_t k = 1; k < n; ++k) {
                    const auto first = static_cast<std::uint64_t>(((u128{k} << 64) + n - 1) / n);
                    ASSERT_EQ(counted.grid_at_fraction(first), mask.grid_at_fraction(first))
                        << "rank " << k;
                    ASSERT_EQ(counted.grid_at_fraction(first - 1),
                              mask.grid_at_fraction(first - 1));
                }
            }
        }
    EXPECT_GT(positions, 40u);
}

}  // namespace
}  // namespace game
