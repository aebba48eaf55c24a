// What the engine hands out about a game, declared once: every output field of a batch (its name,
// element type, shape per env, in which legal-action layout it is there, and the bounds of its
// values, and what it means), and the one writer of what a seat sees. The batch, the arena's policy
// observations and tavlok._core's State.view write through write_view; the binding builds its
// arrays, the Python package its Gymnasium spaces and observations, and the docs their table of
// fields (docs/hooks.py reads this file) from FIELDS. A new field is one row here and one case in
// write_view.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <tuple>

#include "game/actions.hpp"
#include "game/legal_lists.hpp"
#include "game/net_features.hpp"
#include "game/rules.hpp"
#include "game/state.hpp"

namespace game {

// The legal-action layouts' names, by MaskLayout.
inline constexpr std::array<std::string_view, 4> MASK_LAYOUT_NAMES = {"bytes", "bits", "indices",
                                                                      "candidates"};

// What a batch shows of each seat's moves: the layout of its legal actions, and how many of the
// mover's candidates (net_inputs: greedy's order, each with its feature row) it lists, 0 for
// none. The candidates layout needs some: its actions are candidate numbers.
struct ViewLayout {
    MaskLayout mask = MaskLayout::Bytes;
    std::size_t candidates = 0;
    // A layout alone shows no candidates.
    constexpr ViewLayout(MaskLayout mask, std::size_t candidates = 0)  // NOLINT: implicit
        : mask(mask), candidates(candidates) {}
};

// Element types, by numpy's names (DTYPE_NAMES) and C++ types (Element); Bool is one byte of 0
// or 1.
enum class Dtype : std::uint8_t { Bool, Int8, UInt8, Int16, Int32, Float32 };
inline constexpr std::array<const char*, 6> DTYPE_NAMES = {"bool",  "int8",  "uint8",
                                                          "int16", "int32", "float32"};
template <Dtype D>
using Element = std::tuple_element_t<static_cast<std::size_t>(D),
                                     std::tuple<std::uint8_t, std::int8_t, std::uint8_t,
                                                std::int16_t, std::int32_t, float>>;
constexpr std::size_t dtype_size(Dtype dtype) {
    return dtype == Dtype::Int16 ? 2 : dtype == Dtype::Int32 || dtype == Dtype::Float32 ? 4 : 1;
}

// What a field tells.
enum class Part : std::uint8_t {
    View,    // what the env's seat sees, written by write_view: an observation
    Result,  // what a step ended (the batch's): a game's scores, its placements, the reward
};

// How a field's array lies over the envs.
enum class Rows : std::uint8_t {
    PerEnv,   // one entry of `shape` per env: (envs, *shape)
    Packed,   // lists end to end, in one dimension, with room for `shape` entries per env
    Offsets,  // one dimension of envs + 1 entries: where each env's list starts in the packed one
};

// The fields, in the order of FIELDS.
enum class Field : std::uint8_t {
    Observation,
    MaskBytes,
    MaskBits,
    MaskCandidates,
    LegalOffsets,
    LegalIndices,
    Hands,
    CandidateIndices,
    CandidateFeatures,
    CandidateMask,
    Seat,
    Terminated,
    Scores,
    Placements,
    Rewards,
};

struct FieldSpec {
    Field field;
    std::string_view name;
    Dtype dtype;
    std::size_t ndim;
    std::array<std::size_t, 3> shape;  // per env, its first ndim entries
    double low, high;                  // the bounds of every value
    Part part;
    // The legal-action layouts (bit per MaskLayout) in which a batch has the field.
    std::uint8_t layouts;
    // What the field means, one sentence as the docs' table of fields prints it.
    std::string_view meaning;
    Rows rows = Rows::PerEnv;
    // Written aside as "final_<name>" for each game that ends, under same-step autoreset.
    bool kept_at_end = false;
    // One entry of the first dimension per candidate: there only when candidates are shown, and
    // its first dimension then as long as the caller asked (`shape` declares the most).
    bool per_candidate = false;

    // One env's shape when `candidates` candidates are shown.
    constexpr std::array<std::size_t, 3> shape_with(std::size_t candidates) const {
        std::array<std::size_t, 3> extents = shape;
        if (per_candidate) extents[0] = candidates;
        return extents;
    }
    constexpr std::size_t entries(std::size_t candidates) const {
        const std::array<std::size_t, 3> extents = shape_with(candidates);
        std::size_t n = 1;
        for (std::size_t d = 0; d < ndim; ++d) n *= extents[d];
        return n;
    }
    constexpr std::size_t bytes(std::size_t candidates) const {
        return entries(candidates) * dtype_size(dtype);
    }
    constexpr bool in(const ViewLayout& layout) const {
        return (layouts >> static_cast<unsigned>(layout.mask) & 1u) != 0 &&
               (!per_candidate || layout.candidates > 0);
    }
    // The entries and bytes of the field's array in a batch of `envs` envs.
    constexpr std::size_t array_entries(std::size_t envs, std::size_t candidates) const {
        return rows == Rows::Offsets ? envs + 1 : envs * entries(candidates);
    }
    constexpr std::size_t array_bytes(std::size_t envs, std::size_t candidates) const {
        return array_entries(envs, candidates) * dtype_size(dtype);
    }
};

// The layouts in which a field is there, bit k for MaskLayout k.
inline constexpr std::uint8_t IN_BYTES = 1, IN_BITS = 2, IN_INDICES = 4, IN_CANDIDATES = 8,
                              GRID_LAYOUTS = 7, EVERY_LAYOUT = 15;
static_assert(IN_BYTES == 1 << static_cast<int>(MaskLayout::Bytes) &&
              IN_BITS == 1 << static_cast<int>(MaskLayout::Bits) &&
              IN_INDICES == 1 << static_cast<int>(MaskLayout::Indices) &&
              IN_CANDIDATES == 1 << static_cast<int>(MaskLayout::Candidates));

// Bounds of every candidate feature: the lead is at worst -89 / 20, and no count exceeds the
// board's 400 cells / 20 (net.hpp gives each feature's divisor).
inline constexpr double LEAST_FEATURE = -5, MOST_FEATURE = 20;

inline constexpr std::array FIELDS = {
    FieldSpec{Field::Observation, "observation", Dtype::UInt8, 3,
              {NUM_AGENTS, BOARD_SIZE, BOARD_SIZE}, 0, 1, Part::View, EVERY_LAYOUT,
              "The seat's four boards in its own frame: plane k holds the cells of the seat k "
              "turns after it.",
              Rows::PerEnv, true},
    FieldSpec{Field::MaskBytes, "action_mask", Dtype::Int8, 1, {NUM_GRID_INDICES}, 0, 1,
              Part::View, IN_BYTES,
              "1 at each legal grid index (int8, as PettingZoo's masks), 0 elsewhere."},
    FieldSpec{Field::MaskBits, "action_mask", Dtype::UInt8, 1, {NUM_GRID_INDICES / 8}, 0, 255,
              Part::View, IN_BITS,
              "The legal grid indices, eight a byte in the order of numpy.packbits."},
    FieldSpec{Field::MaskCandidates, "action_mask", Dtype::Int8, 1, {MAX_CANDIDATES}, 0, 1,
              Part::View, IN_CANDIDATES,
              "1 for each of the mover's candidates, whose numbers are the actions; 0 past them.",
              Rows::PerEnv, false, true},
    FieldSpec{Field::LegalOffsets, "legal_offsets", Dtype::Int32, 1, {1}, 0, MAX_LEGAL_PLACEMENTS,
              Part::View, IN_INDICES,
              "Where each env's list starts in legal_indices, and where the last ends.",
              Rows::Offsets},
    FieldSpec{Field::LegalIndices, "legal_indices", Dtype::Int32, 1, {MAX_LEGAL_PLACEMENTS}, 0,
              NUM_GRID_INDICES - 1, Part::View, IN_INDICES,
              "The legal grid indices, ascending, every env's list end to end.", Rows::Packed},
    FieldSpec{Field::Hands, "hands", Dtype::UInt8, 2, {NUM_AGENTS, NUM_PIECE_TYPES}, 0, 1,
              Part::View, EVERY_LAYOUT,
              "Row k for the seat k turns after it, column j for the j-th kind of the catalogue: "
              "1 while that seat holds the kind.",
              Rows::PerEnv, true},
    FieldSpec{Field::CandidateIndices, "candidate_indices", Dtype::Int32, 1, {MAX_CANDIDATES}, -1,
              NUM_GRID_INDICES - 1, Part::View, EVERY_LAYOUT,
              "The grid index of each of the mover's candidates in greedy's order (the moves the "
              "search and the net weigh), -1 past them.",
              Rows::PerEnv, true, true},
    FieldSpec{Field::CandidateFeatures, "candidate_features", Dtype::Float32, 2,
              {MAX_CANDIDATES, NET_FEATURES}, LEAST_FEATURE, MOST_FEATURE, Part::View,
              EVERY_LAYOUT,
              "The engine's feature row of each candidate (the table of candidate features), "
              "zeros past them.",
              Rows::PerEnv, true, true},
    FieldSpec{Field::CandidateMask, "candidate_mask", Dtype::Int8, 1, {MAX_CANDIDATES}, 0, 1,
              Part::View, GRID_LAYOUTS, "1 for each of the mover's candidates, 0 past them.",
              Rows::PerEnv, false, true},
    FieldSpec{Field::Seat, "seat", Dtype::Int8, 0, {}, 0, NUM_AGENTS - 1, Part::View, EVERY_LAYOUT,
              "The seat shown.", Rows::PerEnv, true},
    FieldSpec{Field::Terminated, "terminated", Dtype::Bool, 0, {}, 0, 1, Part::Result,
              EVERY_LAYOUT, "1 for an env whose game ended in the call, 0 elsewhere."},
    FieldSpec{Field::Scores, "scores", Dtype::Int16, 1, {NUM_AGENTS}, -89, 20, Part::Result,
              EVERY_LAYOUT, "The final scores of a game that ended, by seat; 0 elsewhere."},
    FieldSpec{Field::Placements, "placements", Dtype::Int16, 0, {}, 0, MAX_PLACEMENTS,
              Part::Result, EVERY_LAYOUT,
              "The pieces placed in a game that ended; 0 elsewhere."},
    FieldSpec{Field::Rewards, "rewards", Dtype::Float32, 0, {}, -89, 20, Part::Result,
              EVERY_LAYOUT, "The reward of the seat shown when its game ended; 0 elsewhere."},
};
inline constexpr std::size_t NUM_FIELDS = FIELDS.size();

constexpr const FieldSpec& spec(Field field) { return FIELDS[static_cast<std::size_t>(field)]; }

static_assert([] {
    for (std::size_t i = 0; i < NUM_FIELDS; ++i)
        if (static_cast<std::size_t>(FIELDS[i].field) != i) return false;
    return true;
}(), "FIELDS lists the fields in the order of Field");

// The element type of a field's array.
template <Field F>
using ElementOf = Element<spec(F).dtype>;

// Where the fields are written, each an array over the envs (or games) that the caller owns: at[f]
// for field f, and kept[f] for the copy of a field kept at the end; null where none is written.
// The fields per candidate have `candidates` rows per env.
struct FieldArrays {
    std::array<void*, NUM_FIELDS> at{};
    std::array<void*, NUM_FIELDS> kept{};
    std::size_t candidates = 0;

    template <Field F>
    ElementOf<F>* get() const {
        return static_cast<ElementOf<F>*>(at[static_cast<std::size_t>(F)]);
    }
    // Row `row` of a field's array (of one env, for a field laid out per env), or null.
    template <Field F>
    ElementOf<F>* row(std::size_t row) const {
        ElementOf<F>* array = get<F>();
        return array != nullptr ? array + row * spec(F).entries(candidates) : nullptr;
    }
    void set(Field field, void* array) { at[static_cast<std::size_t>(field)] = array; }
    // The arrays of the copies kept at the end, as the fields' own.
    FieldArrays kept_at_end() const { return {kept, {}, candidates}; }
};

// What a seat is shown: the table as it sees it, its legal placements (none once it cannot
// move, or the game is over), and its candidates with their features while it is to move (none
// otherwise; the first FieldArrays::candidates of them are written).
struct View {
    TableView seen;
    std::size_t seat = 0;
    const ActionMask* legal = nullptr;
    const NetInputs* candidates = nullptr;
};

// Writes row `row` of every view field that `out` has an array for. The legal placements of the
// indices layout go to `lists` instead, at its slot `row`, when lists are given (LegalLists packs
// them into the two arrays afterwards).
void write_view(const View& view, const FieldArrays& out, std::size_t row,
                LegalLists* lists = nullptr);

}  // namespace game
