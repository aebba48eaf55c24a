#include "game/net_weights.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <system_error>

#include "game/errors.hpp"

namespace game {

// The package's weights file, compiled in by the build (tools/embed.cmake).
extern const unsigned char BUILT_IN_NET[];
extern const std::size_t BUILT_IN_NET_SIZE;

namespace {

constexpr std::size_t HEADER_BYTES = 20;
// The largest file a net of MAX_LAYERS layers of MAX_WIDTH can have: no more is ever read.
constexpr std::size_t MAX_FILE_BYTES =
    HEADER_BYTES + 4 * NetWeights::MAX_LAYERS +
    4 * ((NET_FEATURES + 1) * NetWeights::MAX_WIDTH +
         (NetWeights::MAX_LAYERS - 1) * (NetWeights::MAX_WIDTH + 1) * NetWeights::MAX_WIDTH) +
    4;

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

void put_word(Bytes& bytes, std::uint32_t word) {
    for (int shift = 0; shift < 32; shift += 8)
        bytes.push_back(static_cast<std::uint8_t>(word >> shift));
}

// A count as the file's uint32; one too large for it as the largest, which parse refuses as it
// refuses any count above its limits.
std::uint32_t file_word(std::size_t count) {
    return static_cast<std::uint32_t>(
        std::min<std::size_t>(count, std::numeric_limits<std::uint32_t>::max()));
}

std::string error_text(int error) { return std::generic_category().message(error); }

// Closes a file descriptor when it goes out of scope.
struct Descriptor {
    int fd;
    ~Descriptor() { ::close(fd); }
};

}  // namespace

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
            return refuse("gives layer " + std::to_string(l + 1) + " " + std::to_string(outputs) +
                          " outputs; a layer has 1 to " + std::to_string(MAX_WIDTH));
        NetLayer layer;
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
        NetLayer& layer = net.layers_[l];
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
    // open() would read the path only up to its first NUL: another file.
    if (path.find('\0') != std::string::npos) return refuse("cannot be read: its path holds a NUL");
    // Without O_NONBLOCK, opening a FIFO waits for a writer, for ever if none comes; what is not a
    // regular file (a FIFO, a device such as /dev/zero, a directory) is refused before any read.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return refuse("cannot be read: " + error_text(errno));
    const Descriptor file{fd};
    struct stat info{};
    if (::fstat(fd, &info) != 0) return refuse("cannot be read: " + error_text(errno));
    if (!S_ISREG(info.st_mode)) return refuse("is not a regular file");
    const auto size = static_cast<std::size_t>(info.st_size);
    const auto too_long = [&] {
        return refuse("has more than " + std::to_string(MAX_FILE_BYTES) +
                      " bytes, more than the largest net's weights");
    };
    if (size > MAX_FILE_BYTES) return too_long();
    // One byte more than the file had, to see it if it grew meanwhile.
    Bytes bytes(size + 1);
    std::size_t read = 0;
    while (read < bytes.size()) {
        const ssize_t n = ::read(fd, bytes.data() + read, bytes.size() - read);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            return refuse("cannot be read: " + error_text(errno));
        }
        read += static_cast<std::size_t>(n);
    }
    if (read > MAX_FILE_BYTES) return too_long();
    std::optional<NetWeights> net = parse(std::span(bytes).first(read), path, why);
    if (!net) return nullptr;
    net->path_ = path;
    return std::make_shared<const NetWeights>(std::move(*net));
}

std::optional<Bytes> NetWeights::file_bytes(std::uint32_t feature_set,
                                            std::span<const NetLayerData> layers,
                                            std::string_view file, std::string* why) {
    const auto refuse = [&](const std::string& problem) -> std::optional<Bytes> {
        if (why != nullptr)
            *why = "weights file " + quoted(file) + " cannot be written: " + problem;
        return std::nullopt;
    };
    std::size_t numbers = 0;
    for (std::size_t l = 0; l < layers.size(); ++l) {
        const NetLayerData& layer = layers[l];
        if (l > 0 && layer.inputs != layers[l - 1].outputs)
            return refuse("layer " + std::to_string(l + 1) + " takes " +
                          std::to_string(layer.inputs) + " inputs, not the " +
                          std::to_string(layers[l - 1].outputs) + " outputs of layer " +
                          std::to_string(l));
        if (layer.bias.size() != layer.outputs)
            return refuse("layer " + std::to_string(l + 1) + " has " +
                          std::to_string(layer.bias.size()) + " biases for its " +
                          std::to_string(layer.outputs) + " outputs");
        if (layer.weights.size() != layer.inputs * layer.outputs)
            fatal("a layer's weights do not fill its inputs x outputs");
        numbers += layer.weights.size() + layer.bias.size();
    }
    Bytes bytes;
    bytes.reserve(HEADER_BYTES + 4 * layers.size() + 4 * numbers + 4);
    bytes.insert(bytes.end(), {'T', 'V', 'L', 'N'});
    put_word(bytes, FORMAT_VERSION);
    put_word(bytes, feature_set);
    // A net of no layers reads no inputs: the file says so by its count of layers.
    put_word(bytes, file_word(layers.empty() ? NET_FEATURES : layers.front().inputs));
    put_word(bytes, file_word(layers.size()));
    for (const NetLayerData& layer : layers) put_word(bytes, file_word(layer.outputs));
    for (const NetLayerData& layer : layers) {
        for (const float x : layer.weights) put_word(bytes, std::bit_cast<std::uint32_t>(x));
        for (const float x : layer.bias) put_word(bytes, std::bit_cast<std::uint32_t>(x));
    }
    put_word(bytes, crc32(bytes));
    // What the engine would not read back is not written.
    if (!parse(bytes, file, why)) return std::nullopt;
    return bytes;
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

}  // namespace game
