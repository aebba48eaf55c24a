#include "game/errors.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace game {

void fatal(const std::string& message, SourceLocation where) {
    std::fprintf(stderr, "tavlok: internal error at %s:%u: %s\n", where.file, where.line,
                 message.c_str());
    throw Panic(message);
}

namespace {

// The length of the UTF-8 sequence at the start of `text` (a code point up to U+10FFFF, written in
// the fewest bytes, not a surrogate), or 0 when it does not start with one.
std::size_t utf8_length(std::string_view text) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    const std::size_t length = lead < 0x80   ? 1
                               : lead < 0xc2 ? 0
                               : lead < 0xe0 ? 2
                               : lead < 0xf0 ? 3
                               : lead < 0xf5 ? 4
                                             : 0;
    if (length == 0 || length > text.size()) return 0;
    for (std::size_t i = 1; i < length; ++i)
        if ((byte(i) & 0xc0) != 0x80) return 0;
    // The second byte's range that rules out overlong forms, surrogates and what lies past
    // U+10FFFF.
    if ((lead == 0xe0 && byte(1) < 0xa0) || (lead == 0xed && byte(1) > 0x9f) ||
        (lead == 0xf0 && byte(1) < 0x90) || (lead == 0xf4 && byte(1) > 0x8f))
        return 0;
    return length;
}

}  // namespace

std::string quoted(std::string_view text) {
    constexpr std::string_view HEX = "0123456789abcdef";
    std::string out = "'";
    while (!text.empty()) {
        const auto byte = static_cast<unsigned char>(text.front());
        const std::size_t length = byte >= 0x20 && byte != 0x7f ? utf8_length(text) : 0;
        if (length > 0)
            out += text.substr(0, length);
        else
            out += {'\\', 'x', HEX[byte >> 4], HEX[byte & 15]};
        text.remove_prefix(std::max<std::size_t>(length, 1));
    }
    return out + "'";
}

void allocation_failed(std::size_t bytes) {
    std::fprintf(stderr, "memory allocation of %zu bytes failed\n", bytes);
    std::abort();
}

}  // namespace game
