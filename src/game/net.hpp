// The net bot: a small network, trained to imitate the search, that scores the moves the search
// would look at (net_features.hpp) and plays the best-scored one. It costs a few greedy moves, a
// hundred times less than a search.
//
// A multilayer perceptron (ReLU between layers, float32) turns each candidate's row of features
// into one score. Its weights (net_weights.hpp) are read from a small file; the package's own file
// is compiled into the engine as the built-in net, and "net:path=FILE" plays any other file of the
// same features. This file is the inference: scores and the move they choose.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "game/net_features.hpp"
#include "game/net_weights.hpp"
#include "game/state.hpp"

namespace game {

// The score of each of `rows` rows of NET_FEATURES features, into scores[0 .. rows).
void net_scores(const NetWeights& net, const float* features, std::size_t rows, float* scores);
// The score of each of inputs' candidates, into scores[0 .. inputs.size()).
inline void net_scores(const NetWeights& net, const NetInputs& inputs, float* scores) {
    net_scores(net, inputs.features.data(), inputs.size(), scores);
}

// The net's move for the seat to move, nothing once the game is over. With temperature 0, the
// candidate scored highest (the first in greedy's order among equals); above 0, a candidate drawn
// with probability softmax(score / temperature) by `key`, a uniform 64-bit number read as a
// fraction.
std::optional<std::size_t> net_action(const NetWeights& net, const State& state, double temperature,
                                      std::uint64_t key);

}  // namespace game
