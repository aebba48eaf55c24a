#include "game/actions.hpp"

#include <algorithm>
#include <span>
#include <string>

#include "game/cpu.hpp"
#include "game/errors.hpp"
#include "game/random.hpp"
#include "game/unpack.hpp"

namespace game {

namespace {

// The cells of a shape given as bits r * 21 + c of its bounding box, as the starts of their
// shifted copies.
OrientationShape shape_of(u128 shape, PieceType piece) {
    OrientationShape result;
    result.piece = piece;
    for (std::size_t bit = 0; bit < 128; ++bit) {
        if (((shape >> bit) & 1u) == 0) continue;
        const std::size_t row = bit / ROW_STRIDE, col = bit % ROW_STRIDE;
        const std::size_t distance = row * BOARD_SIZE + col;
        if (distance > MAX_CELL_DISTANCE) fatal("a cell of a shape lies outside its 5 x 5 box");
        check_index(result.num_cells, result.starts.size());
        result.distances[result.num_cells] = static_cast<std::uint8_t>(distance);
        result.starts[result.num_cells++] =
            static_cast<std::uint16_t>(distance % 8 * SHIFTED_COPY_BYTES + distance / 8);
        result.width = std::max(result.width, static_cast<std::uint8_t>(col + 1));
    }
    return result;
}

// The orientations' cells as one tree in preorder: sorted by their runs of starts, each
// orientation adds a node for every leading run that the one before it does not share.
Vec<ShapeNode> shape_tree_of(const std::array<OrientationShape, NUM_ORIENTATIONS>& shapes,
                             const Vec<Piece>& orientations) {
    std::array<std::size_t, NUM_ORIENTATIONS> order;
    for (std::size_t o = 0; o < order.size(); ++o) order[o] = o;
    const auto run = [&](std::size_t o) {
        return std::span<const std::uint16_t>(shapes[o].starts.data(), shapes[o].num_cells);
    };
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        const auto x = run(a), y = run(b);
        return std::lexicographical_compare(x.begin(), x.end(), y.begin(), y.end());
    });
    Vec<ShapeNode> tree;
    std::span<const std::uint16_t> previous;
    for (const std::size_t o : order) {
        const auto cells = run(o);
        const std::uint32_t piece = std::uint32_t{1} << position(orientations[o].piece_type);
        std::size_t shared = 0;
        while (shared < cells.size() && shared < previous.size() &&
               cells[shared] == previous[shared])
            ++shared;
        for (std::size_t k = shared; k < cells.size(); ++k)
            tree.push_back(ShapeNode{cells[k], static_cast<std::uint8_t>(k),
                                     ShapeNode::NO_ORIENTATION, 0, 0, 0, 0});
        tree.back().orientation = static_cast<std::uint8_t>(o);
        tree.back().width = shapes[o].width;
        tree.back().piece = piece;
        // Every node on the run's path holds this piece in its subtree.
        for (std::size_t i = tree.size(), depth = cells.size(); i-- > 0 && depth > 0;) {
            if (tree[i].depth != depth - 1) continue;
            tree[i].pieces |= piece;
            --depth;
        }
        previous = cells;
    }
    for (std::size_t i = 0; i < tree.size(); ++i) {
        std::size_t next = i + 1, children = 0;
        for (; next < tree.size() && tree[next].depth > tree[i].depth; ++next)
            if (tree[next].depth == tree[i].depth + 1) ++children;
        tree[i].next = static_cast<std::uint16_t>(next);
        tree[i].branches = children > 1;
    }
    return tree;
}

}  // namespace

void ActionMask::set_grid(std::size_t grid_index) {
    check_index(grid_index, NUM_GRID_INDICES);
    const std::size_t o = grid_index / CELLS_PER_ORIENTATION;
    GridSet anchors = anchors_[o];
    anchors.set(grid_index % CELLS_PER_ORIENTATION);
    set_anchors(o, anchors);
}

void ActionMask::write_grid_bytes(std::uint8_t* out) const {
    // Laid end to end, the anchor sets are the bit mask; unpacking it writes every byte once.
    std::array<std::uint8_t, NUM_GRID_INDICES / 8> bits;
    write_grid_bits(bits.data());
    unpack_bits(bits.data(), bits.size(), out);
}

// Population counts are one instruction where the processor has it, and a loop in the runtime
// library otherwise; the baseline x86-64 build cannot assume it, so these are built both ways
// and the version is picked at load time. The public functions call the versions from this file:
// a compiler may give the versions names that other files cannot call.
TAVLOK_CLONES("popcnt", "default") std::size_t ActionMask::count_by_processor() const {
    std::size_t n = 0;
    for_each_live([&](std::size_t o) { n += anchors_[o].count(); });
    return n;
}

namespace {

// The position of rank k among the positions of `anchors`, for k below their number. Inlined
// into each build of its callers, so that it counts with their population count.
[[gnu::always_inline]] inline std::size_t nth_position(const std::uint64_t* words, std::size_t k) {
    for (std::size_t w = 0; w < GridSet::WORDS; ++w) {
        std::uint64_t word = detail::first_position_high(words[w]);
        const auto n = static_cast<std::size_t>(std::popcount(word));
        if (k >= n) {
            k -= n;
            continue;
        }
        for (; k != 0; --k) word &= ~(std::uint64_t{1} << (63 - std::countl_zero(word)));
        return w * 64 + static_cast<std::size_t>(std::countl_zero(word));
    }
    fatal("no anchor of rank " + std::to_string(k));
}

// The rank of a pick among `total` anchors (rank_at_fraction); stops fatally when there are none.
std::size_t rank_to_pick(std::uint64_t key, std::size_t total) {
    if (total == 0) fatal("no legal action to pick");
    return rank_at_fraction(key, total);
}

}  // namespace

TAVLOK_CLONES("popcnt", "default") std::size_t ActionMask::grid_at_fraction_by_processor(
    std::uint64_t key, IndexRange among) const {
    // Each orientation's count is kept as it is taken, so that finding the rank reads the counts
    // again rather than the anchors.
    std::array<std::uint16_t, NUM_ORIENTATIONS> counts;
    std::array<std::uint8_t, NUM_ORIENTATIONS> orientations;
    std::size_t live = 0, total = 0;
    for_each_live([&](std::size_t o) {
        if (o < among.start || o >= among.end) return;
        const std::size_t n = anchors_[o].count();
        orientations[live] = static_cast<std::uint8_t>(o);
        counts[live++] = static_cast<std::uint16_t>(n);
        total += n;
    });
    std::size_t k = rank_to_pick(key, total);
    std::size_t j = 0;
    for (; k >= counts[j]; ++j) k -= counts[j];
    return orientations[j] * CELLS_PER_ORIENTATION +
           nth_position(anchors_[orientations[j]].words.data(), k);
}

TAVLOK_CLONES("popcnt", "default") std::size_t
CountedAnchors::grid_at_fraction_by_processor(std::uint64_t key) const {
    std::size_t k = rank_to_pick(key, total_);
    std::size_t o = 0;
    for (; k >= counts_[o]; ++o) k -= counts_[o];  // below the total, so some o holds rank k
    return o * CELLS_PER_ORIENTATION + nth_position(words_[o].data(), k);
}

namespace {

// Entry m: the indices of the set bits of m, ascending, and then zeros to fill eight.
constexpr std::array<std::array<std::uint8_t, 8>, 256> SET_BITS = [] {
    std::array<std::array<std::uint8_t, 8>, 256> table{};
    for (std::size_t m = 0; m < 256; ++m)
        for (std::size_t bit = 0, n = 0; bit < 8; ++bit)
            if ((m >> bit) & 1) table[m][n++] = static_cast<std::uint8_t>(bit);
    return table;
}();

}  // namespace

// A legal mask holds about 180 anchors in some 90 nonzero words, most with one to three anchors,
// among the 8 words of each of some 45 live orientations. A loop over the words and over each
// word's bits mispredicts at almost every zero word and at the end of almost every word, and
// those mispredictions were most of the cost. So the writer has no branch on the data: first the
// nonzero words of every live orientation are listed, eight entries written whatever their count
// with the running length moved on by it; then each listed word writes four positions whatever
// its count, and only a word of five or more, rare, loops for the rest. Entries written past a
// list's end are overwritten by the next ones, or left beyond its length.
TAVLOK_CLONES("arch=x86-64-v3", "default") std::size_t
ActionMask::write_grid_list_by_processor(std::uint16_t* out, std::size_t most) const {
    constexpr std::size_t WORDS = GridSet::WORDS;
    static_assert(WORDS == 8, "a live orientation's nonzero words are one byte of flags");
    // Word w of orientation o as o * 8 + w, and eight entries of slack.
    std::array<std::uint16_t, NUM_ORIENTATIONS * WORDS + 8> nonzero;
    std::size_t listed = 0;
    for_each_live([&](std::size_t o) {
        const unsigned flags = nonzero_words_[o];
        const std::array<std::uint8_t, 8>& set = SET_BITS[flags];
        for (std::size_t j = 0; j < 8; ++j)
            nonzero[listed + j] = static_cast<std::uint16_t>(o * WORDS + set[j]);
        listed += static_cast<std::size_t>(std::popcount(flags));
    });
    std::size_t length = 0;
    for (std::size_t i = 0; i < listed && length <= most; ++i) {
        const std::size_t o = nonzero[i] / WORDS, w = nonzero[i] % WORDS;
        // Read with its first position highest, ascending positions are descending bits: the
        // highest is found by counting leading zeros and then cleared. An empty word counts 64
        // zeros, which clears nothing that matters: entries past its count are not kept.
        std::uint64_t v = detail::first_position_high(anchors_[o].words[w]);
        const auto base = static_cast<std::uint16_t>(o * CELLS_PER_ORIENTATION + w * 64);
        const auto n = static_cast<std::size_t>(std::popcount(v));
        std::uint16_t* to = out + length;
        std::size_t k = 0;
        const auto take = [&] {
            const auto p = static_cast<unsigned>(std::countl_zero(v));
            to[k++] = static_cast<std::uint16_t>(base + p);
            v &= ~((std::uint64_t{1} << 63) >> (p & 63));
        };
        take();
        take();
        take();
        take();
        while (k < n) take();
        length += n;
    }
    return length;
}

std::size_t ActionMask::count() const { return count_by_processor(); }

std::size_t ActionMask::grid_at_fraction(std::uint64_t key, IndexRange among) const {
    return grid_at_fraction_by_processor(key, among);
}

std::size_t CountedAnchors::grid_at_fraction(std::uint64_t key) const {
    return grid_at_fraction_by_processor(key);
}

std::size_t ActionMask::write_grid_list(std::uint16_t* out, std::size_t most) const {
    return write_grid_list_by_processor(out, most);
}

ActionSet ActionSet::build() {
    ActionSet set;
    const Vec<Piece> orientations = generate();
    set.actions.reserve(NUM_PLACEMENTS);
    for (std::size_t o = 0; o < orientations.size(); ++o) {
        const Piece& piece = orientations[o];
        const Vec<Translation> translations = piece.build_translations();
        const std::size_t start = set.actions.size();
        // A kind's orientations are consecutive: its runs start at its first one (end still 0).
        IndexRange& range = set.piece_ranges[position(piece.piece_type)];
        if (range.end == 0) range.start = start;
        range.end = start + translations.size();
        IndexRange& orients = set.orientation_ranges[position(piece.piece_type)];
        if (orients.end == 0) orients.start = o;
        orients.end = o + 1;
        set.shapes[o] = shape_of(piece.shape_mask(), piece.piece_type);
        for (const Translation& t : translations)
            set.actions.push_back(
                Action{t.cells, o * CELLS_PER_ORIENTATION + t.position, piece.piece_type});
    }
    set.grid.assign(orientations.size() * CELLS_PER_ORIENTATION, std::nullopt);
    for (std::size_t i = 0; i < set.actions.size(); ++i) {
        const std::size_t g = set.actions[i].grid_index;
        check_index(g, set.grid.size());
        set.grid[g] = i;
    }
    if (set.actions.size() != NUM_PLACEMENTS)
        fatal("action set holds " + std::to_string(set.actions.size()) + " actions, expected " +
              std::to_string(NUM_PLACEMENTS));
    set.shape_tree = shape_tree_of(set.shapes, orientations);
    for (std::size_t width = 1; width < set.anchor_columns.size(); ++width)
        for (std::size_t p = 0; p < CELLS_PER_ORIENTATION; ++p)
            if (p % BOARD_SIZE + width <= BOARD_SIZE) set.anchor_columns[width].set(p);
    const Bitboard corner = Bitboard::cell(0, 0);
    for (const Action& a : set.actions)
        if (a.cells.intersects(corner)) set.initial_mask.set_grid(a.grid_index);
    return set;
}

const ActionSet& ACTION_SET() {
    // A function-local static is initialised exactly once; concurrent first callers block until
    // the builder has finished, and nobody sees a partly built set.
    static const ActionSet set = ActionSet::build();
    return set;
}

Vec<bool> ActionSet::initial_actions() const {
    Vec<bool> mask(actions.size(), false);
    initial_mask.for_each_grid([&](std::size_t g) { mask[*grid[g]] = true; });
    return mask;
}

Bytes ActionSet::grid_mask(const Vec<bool>& mask) const {
    Bytes bytes(grid.size(), 0);
    const std::size_t n = std::min(mask.size(), actions.size());
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t g = actions[i].grid_index;
        check_index(g, bytes.size());
        bytes[g] = mask[i] ? 1 : 0;
    }
    return bytes;
}

Bytes ActionSet::grid_mask(const ActionMask& mask) const {
    Bytes bytes(grid.size(), 0);
    mask.for_each_grid([&](std::size_t g) { bytes[g] = 1; });
    return bytes;
}

}  // namespace game
