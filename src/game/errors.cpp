#include "game/errors.hpp"

#include <cstdio>
#include <cstdlib>

namespace game {

void fatal(const std::string& message, SourceLocation where) {
    std::fprintf(stderr, "tavlok: internal error at %s:%u: %s\n", where.file, where.line,
                 message.c_str());
    throw Panic(message);
}

void allocation_failed(std::size_t bytes) {
    std::fprintf(stderr, "memory allocation of %zu bytes failed\n", bytes);
    std::abort();
}

}  // namespace game
