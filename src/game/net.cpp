#include "game/net.hpp"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <system_error>

#include "game/bot_spec.hpp"
#include "game/cpu.hpp"

namespace game {

// The package's weights file, compiled in by the build (tools/embed.cmake).
extern const unsigned char BUILT_IN_NET[];
extern const std::size_t BUILT_IN_NET_SIZE;

namespace {

constexpr std::size_t HEADER_BYTES = 20;
constexpr std::size_t NET_CONTINUOUS = NET_FEATURE_NAMES.size();
// The largest file a net of MAX_LAYERS layers of MAX_WIDTH can have: a longer one is refused
// before it is read whole.
constexpr std::size_t MAX_FILE_BYTES =
    HEADER_BYTES + 4 * NetWeights::MAX_LAYERS +
    4 * ((NET_FEATURES + 1) * NetWeights::MAX_WIDTH +
         (NetWeights::MAX_LAYERS - 1) * (NetWeights::MAX_WIDTH + 1) * NetWeights::MAX_WIDTH) +
    4;

// ---- Features ----

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

// ---- Weights files ----

constexpr std::array<std::uint32_t, 256> CRC_TABLE = [] {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t n = 0; n < 256; ++n) {
        std::uint32_t c = n;
        for (int k = 0; k < 8; ++k) c = (c & 1) != 0 ? 0xedb88320u ^ (c >> 1) : c >> 1;
        table[n] = c;
    }
    return table;
}();

// CRC-32 as zlib computes it.
std::uint32_t crc32(std::span<const std::uint8_t> bytes) {
    std::uint32_t c = 0xffffffffu;
    for (const std::uint8_t byte : bytes) c = CRC_TABLE[(c ^ byte) & 0xff] ^ (c >> 8);
    return c ^ 0xffffffffu;
}

std::uint32_t word_at(std::span<const std::uint8_t> bytes, std::size_t offset) {
    return std::uint32_t{bytes[offset]} | std::uint32_t{bytes[offset + 1]} << 8 |
           std::uint32_t{bytes[offset + 2]} << 16 | std::uint32_t{bytes[offset + 3]} << 24;
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
TAVLOK_CLONES("popcnt", "default") void describe_candidates(const State& state,
                                                                     NetInputs& out) {
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

// ---- Weights ----

std::optional<NetWeights> NetWeights::parse(std::span<const std::uint8_t> bytes,
                                            std::string_view file, std::string* why) {
    const auto refuse = [&](const std::string& problem) -> std::optional<NetWeights> {
        if (why != nullptr) *why = "weights file " + quoted(file) + " " + problem;
        return std::nullopt;
    };
    const std::size_t size = bytes.size();
    const auto truncated = [&](std::size_t needed, const char* what) {
        return refuse("is truncated: " + std::to_string(size) + " bytes, less than the " +
                      std::to_string(needed) + " " + what);
    };
    if (size < HEADER_BYTES) return truncated(HEADER_BYTES, "of a header");
    if (std::memcmp(bytes.data(), "TVLN", 4) != 0)
        return refuse("is not a net's weights: it does not begin with TVLN");
    if (const std::uint32_t version = word_at(bytes, 4); version != FORMAT_VERSION)
        return refuse("has format version " + std::to_string(version) +
                      "; this engine reads version " + std::to_string(FORMAT_VERSION));
    if (const std::uint32_t features = word_at(bytes, 8); features != NET_FEATURE_SET)
        return refuse("was made for feature set " + std::to_string(features) +
                      "; this engine's net reads set " + std::to_string(NET_FEATURE_SET));
    if (const std::uint32_t inputs = word_at(bytes, 12); inputs != NET_FEATURES)
        return refuse("has " + std::to_string(inputs) + " inputs; this engine's net reads " +
                      std::to_string(NET_FEATURES) + " features");
    const std::uint32_t num_layers = word_at(bytes, 16);
    if (num_layers < 1 || num_layers > MAX_LAYERS)
        return refuse("has " + std::to_string(num_layers) + " layers; a net has 1 to " +
                      std::to_string(MAX_LAYERS));
    std::size_t needed = HEADER_BYTES + 4 * num_layers;
    if (size < needed) return truncated(needed, "of its header and layer widths");

    NetWeights net;
    std::size_t inputs = NET_FEATURES;
    for (std::size_t l = 0; l < num_layers; ++l) {
        const std::uint32_t outputs = word_at(bytes, HEADER_BYTES + 4 * l);
        if (outputs < 1 || outputs > MAX_WIDTH)
            return refuse("gives layer " + std::to_string(l + 1) + " " +
                          std::to_string(outputs) + " outputs; a layer has 1 to " +
                          std::to_string(MAX_WIDTH));
        Layer layer;
        layer.inputs = inputs;
        layer.outputs = outputs;
        net.layers_.push_back(std::move(layer));
        needed += 4 * (inputs + 1) * outputs;
        inputs = outputs;
    }
    if (inputs != 1)
        return refuse("gives its last layer " + std::to_string(inputs) +
                      " outputs; a net's last layer has 1, the score");
    needed += 4;
    if (size < needed) return truncated(needed, "that its layer widths need");
    if (size > needed)
        return refuse("has " + std::to_string(size) + " bytes, more than the " +
                      std::to_string(needed) + " that its layer widths need");
    if (crc32(bytes.first(needed - 4)) != word_at(bytes, needed - 4))
        return refuse("is damaged: its checksum does not match its contents");

    std::size_t offset = HEADER_BYTES + 4 * num_layers;
    for (std::size_t l = 0; l < num_layers; ++l) {
        Layer& layer = net.layers_[l];
        const auto next = [&] { return std::bit_cast<float>(word_at(bytes, (offset += 4) - 4)); };
        layer.weights.assign(layer.inputs * layer.outputs, 0.0f);
        for (std::size_t o = 0; o < layer.outputs; ++o)
            for (std::size_t i = 0; i < layer.inputs; ++i)
                layer.weights[i * layer.outputs + o] = next();
        layer.bias.assign(layer.outputs, 0.0f);
        for (float& b : layer.bias) b = next();
        const auto finite = [](float x) { return std::isfinite(x); };
        if (!std::all_of(layer.weights.begin(), layer.weights.end(), finite) ||
            !std::all_of(layer.bias.begin(), layer.bias.end(), finite))
            return refuse("is damaged: layer " + std::to_string(l + 1) +
                          " has a weight that is not a finite number");
    }
    return net;
}

std::shared_ptr<const NetWeights> NetWeights::load(const std::string& path, std::string* why) {
    const auto refuse = [&](const std::string& problem) -> std::shared_ptr<const NetWeights> {
        if (why != nullptr) *why = "weights file " + quoted(path) + " " + problem;
        return nullptr;
    };
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr)
        return refuse("cannot be read: " + std::generic_category().message(errno));
    Vec<std::uint8_t> bytes(MAX_FILE_BYTES + 1);
    const std::size_t size = std::fread(bytes.data(), 1, bytes.size(), file);
    const int error = std::ferror(file) != 0 ? errno : 0;
    std::fclose(file);
    if (error != 0) return refuse("cannot be read: " + std::generic_category().message(error));
    if (size > MAX_FILE_BYTES)
        return refuse("has more than " + std::to_string(MAX_FILE_BYTES) +
                      " bytes, more than the largest net's weights");
    std::optional<NetWeights> net = parse(std::span(bytes).first(size), path, why);
    if (!net) return nullptr;
    net->path_ = path;
    return std::make_shared<const NetWeights>(std::move(*net));
}

const std::shared_ptr<const NetWeights>& NetWeights::built_in() {
    static const std::shared_ptr<const NetWeights> net = [] {
        std::string why;
        std::optional<NetWeights> parsed =
            parse({BUILT_IN_NET, BUILT_IN_NET_SIZE}, "python/tavlok/data/net.tvln", &why);
        if (!parsed) fatal("the built-in net: " + why);
        return std::make_shared<const NetWeights>(std::move(*parsed));
    }();
    return net;
}

float NetWeights::score(const float* features) const {
    std::array<float, MAX_WIDTH> first, second;
    const float* in = features;
    float* out = first.data();
    for (std::size_t l = 0; l < layers_.size(); ++l) {
        const Layer& layer = layers_[l];
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
        if (l + 1 < layers_.size())
            for (std::size_t o = 0; o < outputs; ++o) out[o] = std::max(out[o], 0.0f);
        in = out;
        out = out == first.data() ? second.data() : first.data();
    }
    return in[0];
}

void NetWeights::scores(const NetInputs& inputs, float* scores) const {
    for (std::size_t i = 0; i < inputs.size(); ++i) scores[i] = score(inputs.row(i));
}

std::optional<std::size_t> net_action(const NetWeights& net, const State& state,
                                      double temperature, std::uint64_t key) {
    if (state.is_terminal()) return std::nullopt;
    NetInputs inputs;
    net_inputs(state, inputs);
    std::array<float, MAX_CANDIDATES> scores;
    net.scores(inputs, scores.data());
    const std::size_t n = inputs.size();
    const std::size_t best =
        static_cast<std::size_t>(std::max_element(scores.begin(), scores.begin() + n) -
                                 scores.begin());
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
