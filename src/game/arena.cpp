#include "game/arena.hpp"

#include <algorithm>
#include <charconv>
#include <system_error>

#include "game/bots.hpp"

namespace game {

namespace {

constexpr std::size_t MAX_PLAYOUTS = 1'000'000'000;
constexpr std::size_t MAX_MILLISECONDS = 86'400'000;  // a day

// The shortest text that reads back as the same double.
std::string number_text(double x) {
    std::array<char, 32> text;
    return {text.data(), std::to_chars(text.data(), text.data() + text.size(), x).ptr};
}

template <class Number>
bool read_number(std::string_view text, Number& out) {
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, out);
    return error == std::errc{} && stop == end;
}

// Reads one setting of the search ("key=value", or a bare number of playouts) into `options`;
// returns why it cannot when it cannot.
std::optional<std::string> read_setting(std::string_view item, MctsOptions& options,
                                        bool& budget_given) {
    if (item.empty()) return std::string("a setting is missing between commas or at an end");
    const std::size_t equals = item.find('=');
    const bool bare = equals == std::string_view::npos;
    const std::string key(bare ? "playouts" : item.substr(0, equals));
    const std::string_view value = bare ? item : item.substr(equals + 1);
    const auto refused = [&](const std::string& expected) {
        return key + " must be " + expected + ", not '" + std::string(value) + "'";
    };
    if (key == "playouts" || key == "ms") {
        if (budget_given) return std::string("give one budget, playouts or ms");
        budget_given = true;
        const std::size_t most = key == "ms" ? MAX_MILLISECONDS : MAX_PLAYOUTS;
        std::size_t budget = 0;
        if (!read_number(value, budget) || budget < 1 || budget > most)
            return refused("a whole number from 1 to " + std::to_string(most));
        options.budget_kind = key == "ms" ? BudgetKind::Milliseconds : BudgetKind::Playouts;
        options.budget = budget;
        return std::nullopt;
    }
    if (key == "playout") {
        const std::optional<PlayoutKind> playout = playout_named(value);
        if (!playout) return refused("random, largest or greedy");
        options.playout = *playout;
        return std::nullopt;
    }
    double* setting = key == "exploration"    ? &options.exploration
                      : key == "widening"     ? &options.widening
                      : key == "score_weight" ? &options.score_weight
                                              : nullptr;
    if (setting == nullptr)
        return "unknown setting '" + key +
               "': playouts, ms, playout, exploration, widening or score_weight";
    const std::size_t most = key == "score_weight" ? 1 : 1'000'000;
    double number = 0;
    if (!read_number(value, number) || !(number >= 0 && number <= static_cast<double>(most)))
        return refused("a number from 0 to " + std::to_string(most));
    *setting = number;
    return std::nullopt;
}

std::string mcts_name(const MctsOptions& options) {
    const MctsOptions defaults;
    std::string settings;
    const auto add = [&](const std::string& setting) {
        settings += (settings.empty() ? "" : ",") + setting;
    };
    if (options.budget_kind != defaults.budget_kind || options.budget != defaults.budget)
        add((options.budget_kind == BudgetKind::Milliseconds ? "ms=" : "playouts=") +
            std::to_string(options.budget));
    if (options.playout != defaults.playout) add(std::string("playout=") + name(options.playout));
    if (options.exploration != defaults.exploration)
        add("exploration=" + number_text(options.exploration));
    if (options.widening != defaults.widening) add("widening=" + number_text(options.widening));
    if (options.score_weight != defaults.score_weight)
        add("score_weight=" + number_text(options.score_weight));
    if (settings.empty()) return "mcts";
    // Playouts alone, the setting people change, in its short form.
    constexpr std::string_view PLAYOUTS = "playouts=";
    if (settings.starts_with(PLAYOUTS) && settings.find(',') == std::string::npos)
        return "mcts:" + settings.substr(PLAYOUTS.size());
    return "mcts:" + settings;
}

}  // namespace

std::string name(const BotSpec& bot) {
    switch (bot.kind) {
        case BotKind::Random:
            return "random";
        case BotKind::Greedy:
            return "greedy";
        case BotKind::Mcts:
            return mcts_name(bot.mcts);
        case BotKind::Caller:
            break;
    }
    return "caller";
}

std::optional<BotSpec> bot_named(std::string_view name, std::string* why) {
    if (name == "random") return BotSpec{BotKind::Random};
    if (name == "greedy") return BotSpec{BotKind::Greedy};
    const auto fail = [&](std::string reason) -> std::optional<BotSpec> {
        if (why != nullptr) *why = std::move(reason);
        return std::nullopt;
    };
    constexpr std::string_view MCTS = "mcts";
    if (!name.starts_with(MCTS) || (name.size() > MCTS.size() && name[MCTS.size()] != ':'))
        return fail("the engine plays random, greedy and mcts");
    BotSpec bot{BotKind::Mcts};
    bool budget_given = false;
    if (name.size() > MCTS.size()) {
        for (std::string_view rest = name.substr(MCTS.size() + 1);;) {
            const std::size_t comma = rest.find(',');
            if (std::optional<std::string> refused =
                    read_setting(rest.substr(0, comma), bot.mcts, budget_given))
                return fail(*refused);
            if (comma == std::string_view::npos) break;
            rest.remove_prefix(comma + 1);
        }
    }
    return bot;
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
        case BotKind::Mcts: {
            MctsOptions options = bot.mcts;
            options.seed = generator();
            action = mcts_action(state, options);
            break;
        }
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
    return seeded_generator(seed, game_index);
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
    pool.run(count, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            std::mt19937_64 generator = arena_generator(setup.seed, first + i);
            State state = random_opening(setup.opening, generator);
            play_engine_moves(state, seated(setup.bots, first + i), generator);
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
      pool_(std::clamp<std::size_t>(num_threads, 1, slots_.size())) {
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
    slot.generator = arena_generator(setup_.seed, slot.game);
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
                    play_engine_moves(slot.state, seated(setup_.bots, slot.game), slot.generator);
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
            const ActionMask legal = legal_mask(seen);
            lists_.list(i, &legal);
        }
    });
    return lists_.write_offsets(n, out.legal_offsets);
}

void LockstepArena::write_legal_indices(const std::int32_t* offsets, std::int32_t* indices) {
    lists_.write_indices(pool_, rows_.size(), offsets, indices);
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
