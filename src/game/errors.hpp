// The engine's two kinds of failure, and how a message shows what it was given.
//
// A refused move is an ordinary value: InvalidAction, from Game::step and State::apply, or a
// Refusal, which says where in a batch or an arena.
// An internal fault that the data invariants rule out is a fatal stop: fatal() writes the source
// location and the message to standard error and throws Panic, which the Python binding catches at
// its call boundary. A failed allocation is not recoverable: the process reports it and aborts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace game {

// A name, a setting or a path as a message shows it: in single quotes, with control characters and
// bytes that are not UTF-8 written \xNN, so that a NUL neither ends the message early nor
// disappears from it on a terminal, and the message is always text.
std::string quoted(std::string_view text);

struct InvalidAction {
    std::string message;

    // "Invalid action: " followed by the message: the form callers show to users.
    std::string to_string() const { return "Invalid action: " + message; }
};

// A move of the caller's that a batch or an arena refused: in which env or game, for which seat,
// and why.
struct Refusal {
    std::size_t game = 0;
    std::size_t seat = 0;
    std::int64_t action = 0;
    std::string message;     // the rules' reason, in an arena
    bool game_over = false;  // in a batch: the game is over and waits for a reset
};

inline constexpr const char* STALE_MASK = "Action mask is stale, call observe() first!";
inline constexpr const char* ACTION_NOT_AVAILABLE = "Action index not available";

// Where a fatal stop was raised. (std::source_location is not available with every compiler and
// standard library pairing we build with; the builtins behind it are.)
struct SourceLocation {
    const char* file = "";
    unsigned line = 0;

    static constexpr SourceLocation current(const char* file = __builtin_FILE(),
                                            unsigned line = __builtin_LINE()) {
        return SourceLocation{file, line};
    }
};

// Thrown by fatal(); what() is the message without the location.
class Panic : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

[[noreturn]] void fatal(const std::string& message,
                        SourceLocation where = SourceLocation::current());

// Stops fatally with the engine's out-of-bounds message unless index < length.
inline void check_index(std::size_t index, std::size_t length,
                        SourceLocation where = SourceLocation::current()) {
    if (index >= length) [[unlikely]]
        fatal("index out of bounds: the len is " + std::to_string(length) + " but the index is " +
                  std::to_string(index),
              where);
}

[[noreturn]] void allocation_failed(std::size_t bytes);

}  // namespace game
