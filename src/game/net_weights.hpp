// The net bot's weights and the one file format they travel in: the one reader (parse, load) and
// the one writer (file_bytes) of a weights file, so that what is written is what is read, and
// tavlok.net reads and writes through them rather than a copy of the format.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "game/alloc.hpp"
#include "game/net_features.hpp"

namespace game {

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

// One layer as the engine keeps it.
struct NetLayer {
    std::size_t inputs = 0, outputs = 0;
    Vec<float> weights;  // inputs x outputs: the file's matrix turned, so that one input's
                         // weights to every output lie together (net_scores)
    Vec<float> bias;
};

// One layer as a file holds it, over the caller's numbers: `weights` outputs x inputs in row-major
// order, then `bias`, `outputs` of them.
struct NetLayerData {
    std::size_t inputs = 0, outputs = 0;
    std::span<const float> weights, bias;
};

class NetWeights {
public:
    static constexpr std::size_t MAX_LAYERS = 8;
    static constexpr std::size_t MAX_WIDTH = 256;
    static constexpr std::uint32_t FORMAT_VERSION = 1;

    // The weights in `bytes`, or nothing with what is wrong in *why, a message that names `file`.
    static std::optional<NetWeights> parse(std::span<const std::uint8_t> bytes,
                                           std::string_view file, std::string* why = nullptr);
    // The weights in the file at `path`, or nothing with what is wrong (a path that is not a
    // regular file or cannot be read, or a file that is not a weights file of these features) in
    // *why. Never waits on a FIFO or a device, and reads no more than the largest weights file.
    static std::shared_ptr<const NetWeights> load(const std::string& path,
                                                  std::string* why = nullptr);
    // The bytes of a weights file of these layers, first to last, made for `feature_set`; or
    // nothing, with why in *why naming `file`, when they do not follow on from one layer to the
    // next or parse would refuse them, in parse's words.
    static std::optional<Bytes> file_bytes(std::uint32_t feature_set,
                                           std::span<const NetLayerData> layers,
                                           std::string_view file, std::string* why = nullptr);
    // The weights compiled into the engine, from the package's file.
    static const std::shared_ptr<const NetWeights>& built_in();

    // The file they were loaded from; empty for the built-in weights.
    const std::string& path() const { return path_; }
    std::span<const NetLayer> layers() const { return layers_; }

private:
    Vec<NetLayer> layers_;
    std::string path_;
};

}  // namespace game
