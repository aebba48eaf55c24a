#include "game/arena.hpp"

#include <algorithm>

#include "game/bots.hpp"
#include "game/sparse.hpp"

namespace game {

std::string name(const BotSpec& bot) {
    switch (bot.kind) {
        case BotKind::Random:
            return "random";
        case BotKind::Greedy:
            return "greedy";
        case BotKind::Caller:
            break;
    }
    return "caller";
}

std::optional<BotSpec> bot_named(std::string_view name) {
    if (name == "random") return BotSpec{BotKind::Random};
    if (name == "greedy") return BotSpec{BotKind::Greedy};
    return std::nullopt;
}

std::size_t bot_action(const BotSpec& bot, const State& state, std::mt19937_64& generator) {
    std::optional<std::size_t> action;
    switch (bot.kind) {
        case BotKind::Random:
            action = random_action(state, generator());
            break;
        case BotKind::Greedy:
            action = greedy_action(state);
            break;
        case BotKind::Caller:
            fatal("the engine was asked to move for the caller's bot");
    }
    if (!action) fatal("a bot was asked to move after the game ended");
    return *action;
}

void play_engine_moves(State& state, const std::array<BotSpec, NUM_AGENTS>& at_seat,
                       std::mt19937_64& generator) {
    while (!state.is_terminal()) {
        const BotSpec& bot = at_seat[state.seat()];
        if (bot.kind == BotKind::Caller) return;
        if (const std::optional<InvalidAction> refused =
                state.apply(bot_action(bot, state, generator)))
            fatal("a bot chose an illegal move: " + refused->message);
    }
}

std::array<std::int16_t, NUM_AGENTS> play_match(const std::array<BotSpec, NUM_AGENTS>& seats,
                                                std::mt19937_64& generator) {
    State state;
    play_engine_moves(state, seats, generator);
    if (!state.is_terminal()) fatal("a match between the engine's bots met the caller's");
    return *state.scores();
}

std::array<std::uint8_t, NUM_AGENTS> arena_seats(std::size_t game_index) {
    std::array<std::uint8_t, NUM_AGENTS> seats;
    for (std::size_t bot = 0; bot < NUM_AGENTS; ++bot)
        seats[bot] = static_cast<std::uint8_t>((bot + game_index) % NUM_AGENTS);
    return seats;
}

std::size_t bot_at(std::size_t seat, std::size_t game_index) {
    return (seat + NUM_AGENTS - game_index % NUM_AGENTS) % NUM_AGENTS;
}

std::mt19937_64 arena_generator(std::uint64_t seed, std::size_t game_index) {
    // As Batch seeds its envs: seed_seq mixes all four words, and its output is fixed by the
    // standard, so a game replays on every platform.
    const auto g = static_cast<std::uint64_t>(game_index);
    std::seed_seq words{static_cast<std::uint32_t>(seed), static_cast<std::uint32_t>(seed >> 32),
                        static_cast<std::uint32_t>(g), static_cast<std::uint32_t>(g >> 32)};
    return std::mt19937_64(words);
}

namespace {

std::array<BotSpec, NUM_AGENTS> seated(const std::array<BotSpec, NUM_AGENTS>& bots,
                                       std::size_t game_index) {
    std::array<BotSpec, NUM_AGENTS> at_seat;
    for (std::size_t seat = 0; seat < NUM_AGENTS; ++seat)
        at_seat[seat] = bots[bot_at(seat, game_index)];
    return at_seat;
}

// Writes a finished game's scores by seat and its bots' seats at row i of the results.
void write_result(const State& state, std::size_t game_index, std::size_t i, std::int16_t* scores,
                  std::uint8_t* seats) {
    const std::array<std::int16_t, NUM_AGENTS> result = *state.scores();
    const std::array<std::uint8_t, NUM_AGENTS> seat_of = arena_seats(game_index);
    std::copy(result.begin(), result.end(), scores + i * NUM_AGENTS);
    std::copy(seat_of.begin(), seat_of.end(), seats + i * NUM_AGENTS);
}

}  // namespace

void play_arena(const std::array<BotSpec, NUM_AGENTS>& bots, std::uint64_t seed, std::size_t first,
                std::size_t count, WorkerPool& pool, std::int16_t* scores, std::uint8_t* seats) {
    pool.run(count, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            State state;
            std::mt19937_64 generator = arena_generator(seed, first + i);
            play_engine_moves(state, seated(bots, first + i), generator);
            if (!state.is_terminal()) fatal("play_arena met a caller's bot");
            write_result(state, first + i, i, scores, seats);
        }
    });
}

// ---- LockstepArena ----------------------------------------------------------------------------

LockstepArena::LockstepArena(const std::array<BotSpec, NUM_AGENTS>& bots, std::uint64_t seed,
                             std::size_t num_games, std::size_t window, std::size_t num_threads,
                             std::int16_t* scores, std::uint8_t* seats)
    : bots_(bots),
      seed_(seed),
      num_games_(num_games),
      scores_(scores),
      seats_(seats),
      slots_(std::clamp<std::size_t>(
          window, 1, std::max<std::size_t>(1, std::min(num_games, MAX_SPARSE_ROWS)))),
      pool_(std::clamp<std::size_t>(num_threads, 1, slots_.size())) {
    rows_.reserve(slots_.size());
    masks_.resize(slots_.size());
    refusals_.resize(slots_.size());
    for (Slot& slot : slots_) begin_next(slot);
}

const LockstepArena::Slot& LockstepArena::slot(std::size_t row) const {
    check_index(row, rows_.size());
    return slots_[rows_[row]];
}

bool LockstepArena::begin_next(Slot& slot) {
    slot.playing = next_game_ < num_games_;
    if (!slot.playing) return false;
    slot.game = next_game_++;
    slot.state = State();
    slot.generator = arena_generator(seed_, slot.game);
    return true;
}

bool LockstepArena::advance() {
    rows_.clear();
    for (;;) {
        pool_.run(slots_.size(), [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) {
                Slot& slot = slots_[i];
                if (slot.playing)
                    play_engine_moves(slot.state, seated(bots_, slot.game), slot.generator);
            }
        });
        // In window order, so that which game goes where does not depend on the threads.
        bool begun = false;
        for (Slot& slot : slots_) {
            if (!slot.playing || !slot.state.is_terminal()) continue;
            write_result(slot.state, slot.game, slot.game, scores_, seats_);
            ++finished_;
            begun |= begin_next(slot);
        }
        // A game that has begun may open with the engine's bots.
        if (!begun) return finished_ < num_games_;
    }
}

std::size_t LockstepArena::select(std::uint8_t bots) {
    rows_.clear();
    for (std::size_t i = 0; i < slots_.size(); ++i) {
        const Slot& slot = slots_[i];
        if (slot.playing && !slot.state.is_terminal() &&
            (bots >> bot_at(slot.state.seat(), slot.game) & 1u))
            rows_.push_back(static_cast<std::uint32_t>(i));
    }
    return rows_.size();
}

std::size_t LockstepArena::observe(const CallerView& out) {
    constexpr std::size_t HAND_BYTES = NUM_AGENTS * NUM_PIECE_TYPES;
    const std::size_t n = rows_.size();
    pool_.run(n, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            const State& state = slots_[rows_[i]].state;
            const std::size_t seat = state.seat();
            const TableView seen = state.seen_by(seat);
            seen.write_planes(out.planes + i * PLANE_BYTES);
            std::uint8_t* hands = out.hands + i * HAND_BYTES;
            for (std::size_t k = 0; k < NUM_AGENTS; ++k) {
                const PieceSet held = state.position_of((seat + k) % NUM_AGENTS).available_pieces;
                for (std::size_t p = 0; p < NUM_PIECE_TYPES; ++p)
                    hands[k * NUM_PIECE_TYPES + p] = held.contains(ALL_PIECE_TYPES[p]);
            }
            out.seats[i] = static_cast<std::int8_t>(seat);
            masks_[i] = legal_mask(seen);
        }
    });
    return write_legal_offsets(std::span(masks_).first(n), out.legal_offsets, pool_);
}

void LockstepArena::write_legal_indices(const std::int32_t* offsets, std::int32_t* indices) {
    game::write_legal_indices(std::span(masks_).first(rows_.size()), offsets, indices, pool_);
}

std::optional<ArenaRefusal> LockstepArena::play(std::span<const std::int64_t> actions) {
    if (actions.size() != rows_.size())
        fatal(std::to_string(actions.size()) + " moves for " + std::to_string(rows_.size()) +
              " selected games");
    pool_.run(rows_.size(), [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            const std::int64_t action = actions[i];
            refusals_[i] =
                action < 0
                    ? InvalidAction{"grid index " + std::to_string(action) + " is outside 0 to " +
                                    std::to_string(NUM_GRID_INDICES - 1)}
                    : slots_[rows_[i]].state.apply(static_cast<std::size_t>(action));
        }
    });
    std::optional<ArenaRefusal> first;
    for (std::size_t i = 0; i < rows_.size() && !first; ++i) {
        if (!refusals_[i]) continue;
        const Slot& refused = slots_[rows_[i]];
        first = ArenaRefusal{refused.game, refused.state.seat(), actions[i],
                             std::move(refusals_[i]->message)};
    }
    rows_.clear();
    return first;
}

}  // namespace game
