#include "game/net_features.hpp"

#include <algorithm>
#include <bit>

#include "game/cpu.hpp"

namespace game {

namespace {

constexpr std::size_t NET_CONTINUOUS = NET_FEATURE_NAMES.size();

// X and the cells that share an edge or a corner with one of its cells.
Bitboard around(const Bitboard& cells) {
    return cells | edge_neighbours(cells) | corner_neighbours(cells);
}

// Calls f(row, col) for every cell of the set.
template <class F>
void for_each_cell(const Bitboard& cells, F&& f) {
    for (std::size_t w = 0; w < Bitboard::WORDS; ++w)
        for (std::uint64_t v = cells.words[w]; v != 0; v &= v - 1) {
            const std::size_t bit = w * 64 + static_cast<std::size_t>(std::countr_zero(v));
            f(bit / ROW_STRIDE, bit % ROW_STRIDE);
        }
}

// The largest row + column of the cells; 0 for none.
std::size_t reach(const Bitboard& cells) {
    std::size_t most = 0;
    for_each_cell(cells, [&](std::size_t r, std::size_t c) { most = std::max(most, r + c); });
    return most;
}

// King moves from the cell to the nearest of the four centre cells, rows and columns 9 and 10.
constexpr std::size_t steps_to_centre(std::size_t row, std::size_t col) {
    const auto line = [](std::size_t x) { return x < 9 ? 9 - x : x > 10 ? x - 10 : 0; };
    return std::max(line(row), line(col));
}

}  // namespace

std::string net_feature_name(std::size_t i) {
    if (i < NUM_PIECE_TYPES) return std::string("piece=") + name(ALL_PIECE_TYPES[i]);
    check_index(i - NUM_PIECE_TYPES, NET_CONTINUOUS);
    return std::string(NET_FEATURE_NAMES[i - NUM_PIECE_TYPES]);
}

void net_inputs(const State& state, NetInputs& out) {
    out.candidates.size = 0;
    if (state.is_terminal()) return;
    best_greedy_keys(state, MAX_CANDIDATES, out.candidates);
    describe_candidates(state, out);
}

// Counting cells is most of the work, as for best_greedy_keys.
TAVLOK_CLONES("popcnt", "default") void describe_candidates(const State& state, NetInputs& out) {
    const std::size_t n = out.size();

    const TableView seen = state.seen_by(state.seat());
    const GreedyScore greedy(seen);
    const std::array<Bitboard, NUM_AGENTS - 1>& theirs = greedy.their_corners();
    const Bitboard own = seen.board(0), others = seen.others();
    const Bitboard corners_before = corner_cells(own, open_cells(own, others));
    std::array<Bitboard, NUM_AGENTS - 1> near_theirs;
    std::size_t most_others = 0;
    for (std::size_t k = 0; k < theirs.size(); ++k) {
        near_theirs[k] = around(theirs[k]);
        most_others = std::max(most_others, seen.board(k + 1).count());
    }
    const std::size_t reach_before = reach(own);
    const std::array<float, 6> position = {
        static_cast<float>(seen.observer().pieces_placed) / 21.0f,
        static_cast<float>(state.history().size()) / 84.0f,
        static_cast<float>(corners_before.count()) / 20.0f,
        static_cast<float>(VALID_CELLS.minus(own | others).count()) / 400.0f,
        (static_cast<float>(own.count()) - static_cast<float>(most_others)) / 20.0f,
        static_cast<float>(n) / 64.0f,
    };
    static_assert(position.size() + 17 == NET_CONTINUOUS);

    const ActionSet& set = ACTION_SET();
    for (std::size_t i = 0; i < n; ++i) {
        float* const row = out.features.data() + i * NET_FEATURES;
        const Action& action = set.actions[*set.grid[out.grid_index(i)]];
        const Bitboard& cells = action.cells;
        std::fill_n(row, NUM_PIECE_TYPES, 0.0f);
        row[game::position(action.piece_type)] = 1;

        const Bitboard after = own | cells;
        const Bitboard open_after = open_cells(after, others);
        const Bitboard corners_after = corner_cells(after, open_after);
        std::size_t farthest = 0, nearest_centre = BOARD_SIZE;
        for_each_cell(cells, [&](std::size_t r, std::size_t c) {
            farthest = std::max(farthest, r + c);
            nearest_centre = std::min(nearest_centre, steps_to_centre(r, c));
        });
        const auto count = [](const Bitboard& b) { return static_cast<float>(b.count()); };
        float* f = row + NUM_PIECE_TYPES;
        *f++ = count(cells) / 5.0f;
        *f++ = static_cast<float>(i) / 64.0f;
        *f++ = count(corners_after) / 20.0f;
        *f++ = count(corners_after.minus(corners_before)) / 10.0f;
        *f++ = count(corners_before.minus(corners_after)) / 10.0f;
        for (const Bitboard& corners : theirs) *f++ = count(cells & corners) / 4.0f;
        for (const Bitboard& near : near_theirs) *f++ = count(cells & near) / 5.0f;
        *f++ = count(edge_neighbours(cells) & others) / 10.0f;
        *f++ = count(corner_neighbours(cells) & own) / 4.0f;
        *f++ = static_cast<float>(farthest) / 38.0f;
        *f++ = static_cast<float>(farthest > reach_before ? farthest - reach_before : 0) / 10.0f;
        *f++ = static_cast<float>(nearest_centre) / 9.0f;
        *f++ = count(around(corners_after) & open_after) / 50.0f;
        f = std::copy(position.begin(), position.end(), f);
        if (f != row + NET_FEATURES) fatal("the net's features do not fill their row");
    }
}

}  // namespace game
