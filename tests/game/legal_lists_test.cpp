#include "game/legal_lists.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

#include "game/batch.hpp"
#include "support/drivers.hpp"
#include "support/fatal.hpp"
#include "support/naive_model.hpp"

namespace game {
namespace {

using namespace support;

// ---- The bound --------------------------------------------------------------------------------

// What the proof beside MAX_LEGAL_PLACEMENTS reads from one kind of piece.
struct KindFigures {
    int placements = 0;  // on the empty board, over all its orientations
    int convex = 0;      // convex corners of its outline
    // Per diagonal direction: over all its orientations, the cells whose two neighbours on that
    // side lie outside the piece.
    std::array<int, 4> per_corner{};
};

bool has(const naive::Shape& shape, int r, int c) {
    for (const naive::Cell& cell : shape.cells)
        if (cell.r == r && cell.c == c) return true;
    return false;
}

// Cells of `shape` whose neighbours toward (dr, 0) and (0, dc) are both outside it.
int open_toward(const naive::Shape& shape, int dr, int dc) {
    int n = 0;
    for (const naive::Cell& cell : shape.cells)
        n += !has(shape, cell.r + dr, cell.c) && !has(shape, cell.r, cell.c + dc);
    return n;
}

std::array<KindFigures, naive::KINDS> kind_figures() {
    constexpr int DIRECTIONS[4][2] = {{-1, -1}, {-1, 1}, {1, -1}, {1, 1}};
    std::array<KindFigures, naive::KINDS> kinds{};
    std::array<bool, naive::KINDS> seen{};
    for (const naive::Shape& shape : naive::shapes()) {
        KindFigures& kind = kinds[static_cast<std::size_t>(shape.kind)];
        kind.placements += (naive::N + 1 - shape.height) * (naive::N + 1 - shape.width);
        for (int d = 0; d < 4; ++d)
            kind.per_corner[d] += open_toward(shape, DIRECTIONS[d][0], DIRECTIONS[d][1]);
        if (seen[static_cast<std::size_t>(shape.kind)]) continue;
        seen[static_cast<std::size_t>(shape.kind)] = true;
        for (const auto& d : DIRECTIONS) kind.convex += open_toward(shape, d[0], d[1]);
    }
    return kinds;
}

TEST(LegalListsTest, MaxLegalPlacementsIsTheBoundTheCatalogueGives) {
    const std::array<KindFigures, naive::KINDS> kinds = kind_figures();
    int all_placements = 0;
    for (const KindFigures& kind : kinds) {
        all_placements += kind.placements;
        // Every direction sees the same number: the orientations are all the turns and mirror
        // images of the shape, which is what lets the proof take any one.
        for (const int n : kind.per_corner) EXPECT_EQ(n, kind.per_corner[0]);
    }
    EXPECT_EQ(all_placements, static_cast<int>(NUM_PLACEMENTS));
    EXPECT_EQ(kinds[0].convex, 4);   // the monomino
    EXPECT_EQ(kinds[10].convex, 8);  // the X pentomino

    // Every nonempty set S of placed kinds: S makes at most conv(S) corner cells, and each kind
    // still held adds at most conv(S) * per_corner placements, and no more than it has. For each
    // value v of conv(S), the best S holds back the kinds that would add least: the cheapest set
    // whose convex corners sum to exactly v (a knapsack over the 21 kinds).
    int all_convex = 0;
    for (const KindFigures& kind : kinds) all_convex += kind.convex;
    int bound = 0;
    for (int v = 1; v <= all_convex; ++v) {
        const auto adds = [&](const KindFigures& kind) {
            return std::min(kind.placements, v * kind.per_corner[0]);
        };
        constexpr int NONE = 1 << 30;
        std::vector<int> cheapest(static_cast<std::size_t>(v) + 1, NONE);  // by convex corners
        cheapest[0] = 0;
        int held = 0;
        for (const KindFigures& kind : kinds) {
            held += adds(kind);
            for (int c = v; c >= kind.convex; --c) {
                const int with = cheapest[static_cast<std::size_t>(c - kind.convex)];
                if (with != NONE)
                    cheapest[static_cast<std::size_t>(c)] =
                        std::min(cheapest[static_cast<std::size_t>(c)], with + adds(kind));
            }
        }
        if (cheapest[static_cast<std::size_t>(v)] != NONE)
            bound = std::max(bound, held - cheapest[static_cast<std::size_t>(v)]);
    }
    EXPECT_EQ(bound, static_cast<int>(MAX_LEGAL_PLACEMENTS));
    // A seat's first piece has fewer.
    EXPECT_LE(ACTION_SET().initial_mask.count(), MAX_LEGAL_PLACEMENTS);
}

TEST(LegalListsTest, AListAboveTheBoundStopsRatherThanOverflowItsSlot) {
    ActionMask crowded;
    GridSet everywhere;
    for (std::size_t p = 0; p < GridSet::POSITIONS; ++p) everywhere.set(p);
    for (std::size_t o = 0; o * CELLS_PER_ORIENTATION < 2 * MAX_LEGAL_PLACEMENTS; ++o)
        crowded.set_anchors(o, everywhere);
    LegalLists lists(3);
    lists.list(0, &ACTION_SET().initial_mask);
    lists.list(2, &ACTION_SET().initial_mask);
    EXPECT_EQ(panic_message([&] { lists.list(1, &crowded); }),
              "a seat has 11200 legal placements, more than the 5402 that lists are sized for");
    // The slots beside it hold their lists whole.
    lists.list(1, nullptr);
    WorkerPool pool(1);
    std::vector<std::int32_t> offsets(4), indices(3 * MAX_LEGAL_PLACEMENTS);
    EXPECT_EQ(lists.pack(pool, offsets.data(), indices.data()), 116u);
    EXPECT_EQ(std::vector<std::int32_t>(indices.begin(), indices.begin() + 58),
              std::vector<std::int32_t>(indices.begin() + 58, indices.begin() + 116));
}

// ---- The writer -------------------------------------------------------------------------------

// Every grid index the mask holds, in grid order, found without the writer; none for no mask.
std::vector<std::size_t> grid_order(const ActionMask* mask) {
    std::vector<std::size_t> expected;
    if (mask != nullptr)
        for (std::size_t g = 0; g < NUM_GRID_INDICES; ++g)
            if (mask->test_grid(g)) expected.push_back(g);
    return expected;
}

TEST(LegalListsTest, PacksEveryListAscendingEndToEndAndKeepsThoseNotListedAgain) {
    // Masks of seeded games at every stage, a game that is over (no list), and the openings.
    std::vector<ActionMask> masks;
    std::vector<const ActionMask*> legal;
    for (unsigned seed = 1; seed <= 12; ++seed)
        masks.push_back(random_state(seed, seed * 7).legal_mask());
    masks.push_back(ACTION_SET().initial_mask);
    for (const ActionMask& mask : masks) legal.push_back(&mask);
    legal.insert(legal.begin() + 5, nullptr);

    for (const std::size_t threads : {1, 3}) {
        WorkerPool pool(threads);
        LegalLists lists(legal.size());
        const auto expect_packed = [&](const std::vector<const ActionMask*>& shown) {
            std::vector<std::int32_t> offsets(shown.size() + 1, -1);
            std::vector<std::int32_t> indices(shown.size() * MAX_LEGAL_PLACEMENTS, -1);
            const std::size_t total = lists.pack(pool, offsets.data(), indices.data());
            EXPECT_EQ(offsets[0], 0);
            EXPECT_EQ(static_cast<std::size_t>(offsets.back()), total);
            for (std::size_t i = 0; i < shown.size(); ++i) {
                SCOPED_TRACE(testing::Message() << threads << " threads, list " << i);
                EXPECT_EQ(std::vector<std::size_t>(indices.begin() + offsets[i],
                                                   indices.begin() + offsets[i + 1]),
                          grid_order(shown[i]));
            }
            EXPECT_EQ(indices[total], -1);  // nothing past the last list

            // The first lists alone, in two halves, as a caller that sizes `indices` between
            // them does: the same offsets and indices as far as they go, and nothing beyond.
            const std::size_t count = shown.size() / 2;
            std::vector<std::int32_t> first_offsets(count + 2, -1);
            const std::size_t first_total = lists.write_offsets(count, first_offsets.data());
            EXPECT_EQ(std::vector<std::int32_t>(first_offsets.begin(), first_offsets.end() - 1),
                      std::vector<std::int32_t>(offsets.begin(), offsets.begin() + count + 1));
            EXPECT_EQ(first_offsets.back(), -1);
            std::vector<std::int32_t> first(first_total + 1, -1);
            lists.write_indices(pool, count, first_offsets.data(), first.data());
            EXPECT_EQ(std::vector<std::int32_t>(first.begin(), first.end() - 1),
                      std::vector<std::int32_t>(indices.begin(), indices.begin() + first_total));
            EXPECT_EQ(first.back(), -1);
        };
        pool.run(legal.size(), [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) lists.list(i, legal[i]);
        });
        expect_packed(legal);
        // Listing some seats again leaves the others' lists as they were.
        std::vector<const ActionMask*> shown = legal;
        std::swap(shown[0], shown[3]);
        shown[7] = nullptr;
        for (const std::size_t i : {0, 3, 7}) lists.list(i, shown[i]);
        expect_packed(shown);
    }
}

TEST(LegalListsTest, ListsLongEnoughToShareOutAreCopiedOnThePoolAlike) {
    // Openings (58 indices each) and games that are over, enough of them to pass POOLED_COPY.
    const std::size_t count = 2 * LegalLists::POOLED_COPY / 58 + 3;
    LegalLists lists(count);
    for (std::size_t i = 0; i < count; ++i)
        lists.list(i, i % 3 == 1 ? nullptr : &ACTION_SET().initial_mask);
    const std::vector<std::size_t> opening = grid_order(&ACTION_SET().initial_mask);
    for (const std::size_t threads : {1, 2}) {
        WorkerPool pool(threads);
        std::vector<std::int32_t> offsets(count + 1), indices(count * opening.size() + 1, -1);
        const std::size_t total = lists.pack(pool, offsets.data(), indices.data());
        ASSERT_GE(total, LegalLists::POOLED_COPY);
        for (std::size_t i = 0; i < count; i += 97) {
            SCOPED_TRACE(testing::Message() << threads << " threads, list " << i);
            EXPECT_EQ(std::vector<std::size_t>(indices.begin() + offsets[i],
                                               indices.begin() + offsets[i + 1]),
                      i % 3 == 1 ? std::vector<std::size_t>{} : opening);
        }
        EXPECT_EQ(indices[total], -1);
    }
}

}  // namespace
}  // namespace game
