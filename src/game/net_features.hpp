// The net bot's inputs: the candidate moves of a position (the search's, best_greedy_keys) and the
// NET_FEATURES numbers that describe each, worked out from the position as its mover sees it (the
// piece, what it does to the mover's corner cells and to the others', how far it reaches, and a
// few numbers about the position). Training (tools/train_net.py) reads the same rows through
// tavlok._core, so what the net learns from and what it sees when it plays cannot drift apart.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "game/bots.hpp"
#include "game/state.hpp"

namespace game {

// The features of a candidate, in order: first one per piece kind (1 for the candidate's kind, in
// the order of ALL_PIECE_TYPES), then these, each scaled to about [0, 1] by the divisor written
// after it. "Corner cells" are those of the placement rule (corner_cells), "before" and "after"
// are the position without and with the placement, and seat k is the one that moves k turns after
// the mover, all in the mover's frame (its start corner at row 0, column 0).
inline constexpr std::array<std::string_view, 23> NET_FEATURE_NAMES = {
    // Of the placement:
    "cells",          // the piece's cells / 5
    "rank",           // its place in greedy's order among the candidates / 64
    "corners_after",  // the mover's corner cells after / 20
    "corners_new",    // of those, cells that were not corner cells before / 10
    "corners_lost",   // the mover's corner cells before that are not after / 10
    "covered_1",      // seat 1's corner cells that the piece covers / 4
    "covered_2",      // seat 2's, / 4
    "covered_3",      // seat 3's, / 4
    "near_1",         // the piece's cells on or next to (edge or corner) seat 1's corner cells / 5
    "near_2",         // seat 2's, / 5
    "near_3",         // seat 3's, / 5
    "touch_others",   // other seats' cells that share an edge with the piece / 10
    "touch_own",      // the mover's cells that touch the piece at a corner / 4
    "reach",          // the largest row + column of the piece / 38
    "reach_gain",     // how much that exceeds the mover's largest row + column before / 10
    "centre",         // the fewest steps (king moves) from the piece to the centre 2x2 / 9
    "room_after",     // open cells on or next to the mover's corner cells after / 50
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

}  // namespace game
