#include "game/bots.hpp"

#include <algorithm>
#include <functional>

#include "game/cpu.hpp"
#include "game/legal_lists.hpp"

namespace game {

std::optional<std::size_t> random_action(const State& state, std::uint64_t key) {
    if (state.is_terminal()) return std::nullopt;
    return state.legal_mask().grid_at_fraction(key);
}

GreedyScore::GreedyScore(const TableView& seen) : own_(seen.board(0)), others_(seen.others()) {
    for (std::size_t k = 1; k < NUM_AGENTS; ++k) {
        const Bitboard around = (own_ | others_).minus(seen.board(k));
        theirs_[k - 1] = corner_cells(seen.board(k), open_cells(seen.board(k), around));
    }
}

std::optional<std::size_t> greedy_action(const State& state) {
    if (state.is_terminal()) return std::nullopt;
    std::uint64_t best = 0;
    for_each_greedy_key(state, [&](std::uint64_t key) {
        best = std::max(best, key);
        return true;
    });
    return grid_index_of(best);
}

// Counting cells is most of the work; the build targets no particular processor, so this is also
// built with the population count instruction and the best version is picked at load time.
// Flattened, so that the walk and its scores are compiled into each version: left to itself, the
// compiler kept the walk out of line, without the instruction, and the search took a tenth longer.
TAVLOK_CLONES("popcnt", "default") [[gnu::flatten]] void best_greedy_keys(
    const State& state, std::size_t wanted, Candidates& out) {
    wanted = std::min(wanted, MAX_CANDIDATES);
    // No position has more legal placements than that (legal_lists.hpp), so none more keys.
    std::array<std::uint64_t, MAX_LEGAL_PLACEMENTS> keys;
    std::size_t walked = 0;
    if (wanted > 0)
        for_each_greedy_key(state, [&](std::uint64_t key) {
            keys[walked++] = key;
            return walked >= wanted;
        });
    out.size = std::min(walked, wanted);
    const auto kept = keys.begin() + static_cast<std::ptrdiff_t>(out.size);
    std::partial_sort(keys.begin(), kept, keys.begin() + static_cast<std::ptrdiff_t>(walked),
                      std::greater<>());
    std::copy(keys.begin(), kept, out.keys.begin());
}

IndexRange largest_orientations(const ActionMask& legal) {
    const ActionSet& set = ACTION_SET();
    std::size_t end = NUM_ORIENTATIONS;
    while (end > 0 && legal.anchors(end - 1).is_empty()) --end;
    if (end == 0) return {0, 0};
    std::size_t start = end - 1;
    while (start > 0 && set.shapes[start - 1].num_cells == set.shapes[end - 1].num_cells) --start;
    return {start, end};
}

}  // namespace game
