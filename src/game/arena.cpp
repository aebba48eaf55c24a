#include "game/arena.hpp"

#include <algorithm>

namespace game {

std::array<std::uint8_t, NUM_AGENTS> arena_seats(std::size_t game_index) {
    std::array<std::uint8_t, NUM_AGENTS> seats;
    for (std::size_t bot = 0; bot < NUM_AGENTS; ++bot)
        seats[bot] = static_cast<std::uint8_t>((bot + game_index) % NUM_AGENTS);
    return seats;
}

std::size_t bot_at(std::size_t seat, std::size_t game_index) {
    return (seat + NUM_AGENTS - game_index % NUM_AGENTS) % NUM_AGENTS;
}

namespace {

Players seated(const std::array<BotSpec, NUM_AGENTS>& bots,
                                       std::size_t game_index) {
    Players at_seat;
    for (std::size_t seat = 0; seat < NUM_AGENTS; ++seat)
        at_seat[seat] = bots[bot_at(seat, game_index)];
    return at_seat;
}

// Plays the engine's bots in a game until one of the caller's is to move or the game is over; a
// search asks `stop`.
void play_engine_bots(State& state, const Players& players, std::mt19937_64& generator,
                      const StopHook& stop) {
    play_bots(state, std::nullopt, players, generator, stop,
              [](std::size_t, const TableView& seen) { return can_place(seen); });
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

State random_opening(std::size_t placements, std::mt19937_64& generator) {
    State state;
    while (state.history().size() < placements && !state.is_terminal())
        if (const std::optional<InvalidAction> refused =
                state.apply(*random_action(state, generator())))
            fatal("a random opening chose an illegal move: " + refused->message);
    return state;
}

void play_arena(const ArenaSetup& setup, std::size_t first, std::size_t count, WorkerPool& pool,
                std::int16_t* scores, std::uint8_t* seats) {
    const StopHook stop = [&pool] { return pool.stopping(); };
    pool.run(count, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            std::mt19937_64 generator = seeded_generator(setup.seed, first + i);
            State state = random_opening(setup.opening, generator);
            play_engine_bots(state, seated(setup.bots, first + i), generator, stop);
            if (!state.is_terminal()) fatal("play_arena met a caller's bot");
            write_result(state, first + i, i, scores, seats);
        }
    });
}

// ---- LockstepArena ----------------------------------------------------------------------------

LockstepArena::LockstepArena(const ArenaSetup& setup, std::size_t first, std::size_t num_games,
                             std::size_t window, std::size_t num_threads, std::int16_t* scores,
                             std::uint8_t* seats, std::int32_t* histories)
    : setup_(setup),
      first_(first),
      num_games_(num_games),
      scores_(scores),
      seats_(seats),
      histories_(histories),
      slots_(std::clamp<std::size_t>(window, 1,
                                     std::max<std::size_t>(1, std::min(num_games, MAX_WINDOW)))),
      lists_(slots_.size()),
      pool_(std::clamp<std::size_t>(num_threads, 1, slots_.size())),
      stop_([this] { return pool_.stopping(); }) {
    rows_.reserve(slots_.size());
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
    slot.game = first_ + next_game_++;
    slot.generator = seeded_generator(setup_.seed, slot.game);
    slot.state = random_opening(setup_.opening, slot.generator);
    return true;
}

bool LockstepArena::advance() {
    rows_.clear();
    for (;;) {
        pool_.run(slots_.size(), [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) {
                Slot& slot = slots_[i];
                if (slot.playing)
                    play_engine_bots(slot.state, seated(setup_.bots, slot.game), slot.generator,
                                     stop_);
            }
        });
        // In window order, so that which game goes where does not depend on the threads.
        bool begun = false;
        for (Slot& slot : slots_) {
            if (!slot.playing || !slot.state.is_terminal()) continue;
            const std::size_t row = slot.game - first_;
            write_result(slot.state, slot.game, row, scores_, seats_);
            if (histories_ != nullptr) {
                const std::span<const std::uint16_t> moves = slot.state.history();
                std::copy(moves.begin(), moves.end(), histories_ + row * MAX_PLACEMENTS);
            }
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

std::size_t LockstepArena::observe(const FieldArrays& out) {
    const std::size_t n = rows_.size();
    pool_.run(n, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            const State& state = slots_[rows_[i]].state;
            const TableView seen = state.seen_by(state.seat());
            const ActionMask legal = legal_mask(seen);
            write_view({seen, state.seat(), &legal}, out, i, &lists_);
        }
    });
    return lists_.write_offsets(n, out.get<Field::LegalOffsets>());
}

void LockstepArena::write_legal_indices(const std::int32_t* offsets, std::int32_t* indices) {
    lists_.write_indices(pool_, rows_.size(), offsets, indices);
}

std::optional<Refusal> LockstepArena::play(std::span<const std::int64_t> actions) {
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
    std::optional<Refusal> first;
    for (std::size_t i = 0; i < rows_.size() && !first; ++i) {
        if (!refusals_[i]) continue;
        const Slot& refused = slots_[rows_[i]];
        first = Refusal{refused.game, refused.state.seat(), actions[i],
                        std::move(refusals_[i]->message)};
    }
    rows_.clear();
    return first;
}

}  // namespace game
