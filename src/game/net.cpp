#include "game/net.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <span>

namespace game {

namespace {

float score(std::span<const NetLayer> layers, const float* features) {
    std::array<float, NetWeights::MAX_WIDTH> first, second;
    const float* in = features;
    float* out = first.data();
    for (std::size_t l = 0; l < layers.size(); ++l) {
        const NetLayer& layer = layers[l];
        const std::size_t outputs = layer.outputs;
        std::copy(layer.bias.begin(), layer.bias.end(), out);
        // Input by input, so that the loop over the outputs runs over adjacent weights, which
        // the compiler does several at a time; the sum for each output is taken in input order
        // whatever the vector width. Inputs of 0 (the piece kinds not played, the units a ReLU
        // shut off) add nothing.
        for (std::size_t i = 0; i < layer.inputs; ++i) {
            const float x = in[i];
            if (x == 0) continue;
            const float* w = layer.weights.data() + i * outputs;
            for (std::size_t o = 0; o < outputs; ++o) out[o] += x * w[o];
        }
        if (l + 1 < layers.size())
            for (std::size_t o = 0; o < outputs; ++o) out[o] = std::max(out[o], 0.0f);
        in = out;
        out = out == first.data() ? second.data() : first.data();
    }
    return in[0];
}

}  // namespace

void net_scores(const NetWeights& net, const float* features, std::size_t rows, float* scores) {
    const std::span<const NetLayer> layers = net.layers();
    for (std::size_t i = 0; i < rows; ++i) scores[i] = score(layers, features + i * NET_FEATURES);
}

std::optional<std::size_t> net_action(const NetWeights& net, const State& state, double temperature,
                                      std::uint64_t key) {
    if (state.is_terminal()) return std::nullopt;
    NetInputs inputs;
    net_inputs(state, inputs);
    std::array<float, MAX_CANDIDATES> scores;
    net_scores(net, inputs, scores.data());
    const std::size_t n = inputs.size();
    const std::size_t best = static_cast<std::size_t>(
        std::max_element(scores.begin(), scores.begin() + n) - scores.begin());
    if (!(temperature > 0)) return inputs.grid_index(best);
    // Weights relative to the best score, which cannot overflow.
    std::array<double, MAX_CANDIDATES> weights;
    double total = 0;
    for (std::size_t i = 0; i < n; ++i) {
        weights[i] = std::exp((double{scores[i]} - scores[best]) / temperature);
        total += weights[i];
    }
    double left = static_cast<double>(key >> 11) * 0x1p-53 * total;
    for (std::size_t i = 0; i < n; ++i)
        if ((left -= weights[i]) < 0) return inputs.grid_index(i);
    return inputs.grid_index(best);  // what rounding left over
}

}  // namespace game
