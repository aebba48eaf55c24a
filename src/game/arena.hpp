// Matches between the reference bots, for evaluation: many seeded games played on a worker pool.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <random>
#include <string_view>

#include "game/batch.hpp"
#include "game/state.hpp"

namespace game {

enum class BotKind : std::uint8_t { Random, Greedy };

const char* name(BotKind bot);
std::optional<BotKind> bot_named(std::string_view name);

// The move of `bot` for the seat to move; a random bot draws one number from `generator`.
std::size_t bot_action(BotKind bot, const State& state, std::mt19937_64& generator);

// One game played to the end by the bots sitting at seats 0 to 3; its final scores by seat.
std::array<std::int16_t, NUM_AGENTS> play_match(const std::array<BotKind, NUM_AGENTS>& seats,
                                                std::mt19937_64& generator);

// Where each of a list of four bots sits in game `game_index`: bot i at seat (i + game) % 4, so
// that over any four consecutive games every bot plays every seat once.
std::array<std::uint8_t, NUM_AGENTS> arena_seats(std::size_t game_index);

// The generator of game `game_index`, seeded from (seed, game index) alone.
std::mt19937_64 arena_generator(std::uint64_t seed, std::size_t game_index);

// Plays the games first to first + count - 1 of an arena between four bots. For the i-th of them
// writes the final scores by seat to scores[4 i .. 4 i + 3] and the seat of each bot to
// seats[4 i .. 4 i + 3]. A game depends only on the bots, the seed and its index, never on how the
// games are split between calls or threads.
void play_arena(const std::array<BotKind, NUM_AGENTS>& bots, std::uint64_t seed, std::size_t first,
                std::size_t count, WorkerPool& pool, std::int16_t* scores, std::uint8_t* seats);

}  // namespace game
