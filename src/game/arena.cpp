#include "game/arena.hpp"

#include "game/bots.hpp"

namespace game {

const char* name(BotKind bot) { return bot == BotKind::Greedy ? "greedy" : "random"; }

std::optional<BotKind> bot_named(std::string_view name) {
    if (name == "random") return BotKind::Random;
    if (name == "greedy") return BotKind::Greedy;
    return std::nullopt;
}

std::size_t bot_action(BotKind bot, const State& state, std::mt19937_64& generator) {
    const std::optional<std::size_t> action =
        bot == BotKind::Greedy ? greedy_action(state) : random_action(state, generator());
    if (!action) fatal("a bot was asked to move after the game ended");
    return *action;
}

std::array<std::int16_t, NUM_AGENTS> play_match(const std::array<BotKind, NUM_AGENTS>& seats,
                                                std::mt19937_64& generator) {
    State state;
    while (!state.is_terminal()) {
        if (const std::optional<InvalidAction> refused =
                state.apply(bot_action(seats[state.seat()], state, generator)))
            fatal("a bot chose an illegal move: " + refused->message);
    }
    return *state.scores();
}

std::array<std::uint8_t, NUM_AGENTS> arena_seats(std::size_t game_index) {
    std::array<std::uint8_t, NUM_AGENTS> seats;
    for (std::size_t bot = 0; bot < NUM_AGENTS; ++bot)
        seats[bot] = static_cast<std::uint8_t>((bot + game_index) % NUM_AGENTS);
    return seats;
}

std::mt19937_64 arena_generator(std::uint64_t seed, std::size_t game_index) {
    // As Batch seeds its envs: seed_seq mixes all four words, and its output is fixed by the
    // standard, so a game replays on every platform.
    const auto g = static_cast<std::uint64_t>(game_index);
    std::seed_seq words{static_cast<std::uint32_t>(seed), static_cast<std::uint32_t>(seed >> 32),
                        static_cast<std::uint32_t>(g), static_cast<std::uint32_t>(g >> 32)};
    return std::mt19937_64(words);
}

void play_arena(const std::array<BotKind, NUM_AGENTS>& bots, std::uint64_t seed, std::size_t first,
                std::size_t count, WorkerPool& pool, std::int16_t* scores, std::uint8_t* seats) {
    pool.run(count, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            const std::array<std::uint8_t, NUM_AGENTS> seat_of = arena_seats(first + i);
            std::array<BotKind, NUM_AGENTS> at_seat;
            for (std::size_t bot = 0; bot < NUM_AGENTS; ++bot) at_seat[seat_of[bot]] = bots[bot];
            std::mt19937_64 generator = arena_generator(seed, first + i);
            const std::array<std::int16_t, NUM_AGENTS> result = play_match(at_seat, generator);
            for (std::size_t s = 0; s < NUM_AGENTS; ++s) {
                scores[i * NUM_AGENTS + s] = result[s];
                seats[i * NUM_AGENTS + s] = seat_of[s];
            }
        }
    });
}

}  // namespace game
