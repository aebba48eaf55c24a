// The net bot: a small network, trained to imitate the search, that scores the moves the search
// would look at (best_greedy_keys) and plays the best-scored one. It costs a few greedy moves, a
// hundred times less than a search.
//
// Each candidate placement is described by NET_FEATURES numbers, worked out from the position as
// its mover sees it (net_inputs): the piece, what it does to the mover's corner cells and to the
// others', how far it reaches, and a few numbers about the position. A multilayer perceptron
// (ReLU between layers, float32) turns each row into one score. Training (tools/train_net.py)
// reads the same rows through tavlok._core, so what it learns from and what the bot sees cannot
// drift apart.
//
// Weights are read from a small file (format below); the package's own file is compiled into the
// engine as the built-in net, and "net:path=FILE" plays any other file of the same features.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "game/alloc.hpp"
#include "game/bots.hpp"
#include "game/state.hpp"

namespace game {

// ---- Features -----------------------------------------------------------------------------------

// The features of a candidate, in order: first one per piece kind (1 for the candidate's kind, in
// the order of ALL_PIECE_TYPES), then these, each scaled to about [0, 1] by the divisor written
// after it. "Corner cells" are those of the placement rule (corner_cells), "before" and "after"
// are the position without and with the placement, and seat k is the one that moves k turns after
// the mover, all in the mover's frame (its start corner at row 0, column 0).
inline constexpr std::array<std::string_view, 23> NET_FEATURE_NAMES = {
    // Of the placement:
    "cells",           // the piece's cells / 5
    "rank",            // its place in greedy's order among the candidates / 64
    "corners_after",   // the mover's corner cells after / 20
    "corners_new",     // of those, cells that were not corner cells before / 10
    "corners_lost",    // the mover's corner cells before that are not after / 10
    "covered_1",       // seat 1's corner cells that the piece covers / 4
    "covered_2",       // seat 2's, / 4
    "covered_3",       // seat 3's, / 4
    "near_1",          // the piece's cells on or next to (edge or corner) seat 1's corner cells / 5
    "near_2",          // seat 2's, / 5
    "near_3",          // seat 3's, / 5
    "touch_others",    // other seats' cells that share an edge with the piece / 10
    "touch_own",       // the mover's cells that touch the piece at a corner / 4
    "reach",           // the largest row + column of the piece / 38
    "reach_gain",      // how much that exceeds the mover's largest row + column before / 10
    "centre",          // the fewest steps (king moves) from the piece to the centre 2x2 / 9
    "room_after",      // open cells on or next to the mover's corner cells after / 50
    // Of the position, the same for every candidate:
    "placed",          // the mover's pieces placed / 21
    "turn",            // placements so far, every seat's / 84
    "corners_before",  // the mover's corner cells / 20
    "free",            // cells nobody covers / 400
    "lead",            // the mover's cells on the board minus the most of any other seat's / 20
    "candidates",      // how many candidates there are / 64
};
inline constexpr std::size_t NET_FEATURES = NUM_PIECE_TYPES + NET_FEATURE_NAMES.size();
// Changes whenever what a feature means changes, so that weights trained on other features are
// refused rather than played badly.
inline constexpr std::uint32_t NET_FEATURE_SET = 1;

// The name of feature i: "piece=<kind>" for the first NUM_PIECE_TYPES, then NET_FEATURE_NAMES.
std::string net_feature_name(std::size_t i);

// A position's candidates and their features: row i (NET_FEATURES floats) describes the placement
// of candidates.keys[i].
struct NetInputs {
    Candidates candidates;
    std::array<float, MAX_CANDIDATES * NET_FEATURES> features;

    std::size_t size() const { return candidates.size; }
    std::size_t grid_index(std::size_t i) const { return grid_index_of(candidates.keys[i]); }
    const float* row(std::size_t i) const { return features.data() + i * NET_FEATURES; }
};

// The candidates of the seat to move and their features; none once the game is over.
void net_inputs(const State& state, NetInputs& out);
// The features of the candidates already in out.candidates: moves of the seat to move in greedy's
// order, as best_greedy_keys gives them (the search's, which orders them with the net).
void describe_candidates(const State& state, NetInputs& out);

// ---- Weights ------------------------------------------------------------------------------------

// A weights file ("TVLN"): integers are uint32 and numbers float32, both little-endian.
//
//     bytes 0-3     "TVLN"
//     4             format version, 1
//     8             feature set (NET_FEATURE_SET)
//     12            inputs: the number of features (NET_FEATURES)
//     16            L, the number of layers, 1 to MAX_LAYERS
//     20            L widths, the outputs of each layer, 1 to MAX_WIDTH; the last is 1
//     20 + 4 L      each layer in turn: its weights, outputs x inputs in row-major order (as
//                   torch.nn.Linear keeps them), then its outputs biases
//     end - 4       CRC-32 (as zlib.crc32 computes it) of every byte before it
//
// Layer l's inputs are layer l - 1's outputs; every layer but the last is followed by a ReLU.
class NetWeights {
public:
    static constexpr std::size_t MAX_LAYERS = 8;
    static constexpr std::size_t MAX_WIDTH = 256;
    static constexpr std::uint32_t FORMAT_VERSION = 1;

    // The weights in `bytes`, or nothing with what is wrong in *why, a message that names `file`.
    static std::optional<NetWeights> parse(std::span<const std::uint8_t> bytes,
                                           std::string_view file, std::string* why = nullptr);
    // The weights in the file at `path`, or nothing with what is wrong (a file that cannot be
    // read, or is not a weights file of these features) in *why.
    static std::shared_ptr<const NetWeights> load(const std::string& path,
                                                  std::string* why = nullptr);
    // The weights compiled into the engine, from the package's file.
    static const std::shared_ptr<const NetWeights>& built_in();

    // The file they were loaded from; empty for the built-in weights.
    const std::string& path() const { return path_; }

    // The score of each of inputs' candidates, into scores[0 .. inputs.size()).
    void scores(const NetInputs& inputs, float* scores) const;

private:
    struct Layer {
        std::size_t inputs = 0, outputs = 0;
        Vec<float> weights;  // inputs x outputs: the file's matrix turned, so that one input's
                             // weights to every output lie together
        Vec<float> bias;
    };

    float score(const float* features) const;

    Vec<Layer> layers_;
    std::string path_;
};

// The net's move for the seat to move, nothing once the game is over. With temperature 0, the
// candidate scored highest (the first in greedy's order among equals); above 0, a candidate drawn
// with probability softmax(score / temperature) by `key`, a uniform 64-bit number read as a
// fraction.
std::optional<std::size_t> net_action(const NetWeights& net, const State& state,
                                      double temperature, std::uint64_t key);

}  // namespace game
