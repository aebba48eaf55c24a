// tavlok._core's arenas: play_arena, where the engine plays all four bots with the interpreter lock
// released, and Arena, where some bots are Python policies and the games advance in lockstep
// (game::LockstepArena). tavlok.arena drives both; the policies are called there, in Python.
// win_shares turns the games' scores into each seat's share of the win.
#include "game/arena.hpp"

#include <nanobind/stl/optional.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <new>
#include <optional>
#include <string>
#include <system_error>
#include <type_traits>
#include <utility>
#include <vector>

#include "core.hpp"
#include "game/bot_names.hpp"
#include "interrupt.hpp"

namespace core {

namespace {

using game::NUM_AGENTS;

// The most games one arena plays: its games are numbered below 2**40 - 1.
constexpr std::uint64_t MAX_GAMES = (std::uint64_t{1} << 40) - 1;

// One row of four per game.
using ArenaScores = nb::ndarray<nb::numpy, std::int16_t, nb::shape<-1, NUM_AGENTS>>;
using ArenaSeats = nb::ndarray<nb::numpy, std::uint8_t, nb::shape<-1, NUM_AGENTS>>;
using Results = std::pair<ArenaScores, ArenaSeats>;

using Games = nb::ndarray<nb::numpy, std::int64_t, nb::shape<-1>>;
using Moves = nb::ndarray<const std::int64_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
using Histories = nb::ndarray<nb::numpy, std::int32_t, nb::shape<-1, game::MAX_PLACEMENTS>>;

Results new_results(std::size_t games) {
    try {
        return {new_array<ArenaScores>({games, NUM_AGENTS}),
                new_array<ArenaSeats>({games, NUM_AGENTS})};
    } catch (const std::bad_alloc&) {
        raise_too_large(std::to_string(games) + " games",
                        static_cast<double>(games) * NUM_AGENTS * (sizeof(std::int16_t) + 1),
                        "for their scores and seats");
    }
}

// What an arena stopped by Ctrl-C says.
constexpr StopNote ARENA_STOPPED = {"the arena", "games", "their results are not returned"};

// The games of an arena and the threads that play them, from its arguments, which it checks.
struct ArenaGames {
    game::ArenaSetup setup;
    std::size_t first = 0, count = 0, threads = 0;
};

ArenaGames games_of(const std::vector<std::optional<BotName>>& names, std::uint64_t seed,
                    IndexArgument first_game, IndexArgument games, IndexArgument threads,
                    IndexArgument opening) {
    if (names.size() != NUM_AGENTS)
        raise_value_error("an arena needs four bots, not %zu", names.size());
    ArenaGames arena;
    for (std::size_t i = 0; i < NUM_AGENTS; ++i)
        arena.setup.bots[i] =
            names[i] ? engine_bot(*names[i]) : game::BotSpec{game::BotKind::Caller};
    arena.setup.seed = seed;
    arena.setup.opening = count_in(opening, "opening", 0, game::MAX_PLACEMENTS);
    arena.count = count_in(games, "games", 1, MAX_GAMES);
    arena.first = count_in(first_game, "first_game", 0, MAX_GAMES - arena.count);
    arena.threads = count_in(threads, "threads", 1, MAX_THREADS);
    return arena;
}

Results play_arena(const std::vector<BotName>& names, std::uint64_t seed, IndexArgument first_game,
                   IndexArgument game_count, IndexArgument threads, IndexArgument opening) {
    const ArenaGames arena =
        games_of(std::vector<std::optional<BotName>>(names.begin(), names.end()), seed,
                 first_game, game_count, threads, opening);
    Results results = new_results(arena.count);
    const std::size_t pool_threads = std::min(arena.threads, arena.count);
    try {
        without_lock(
            [&] {
                game::WorkerPool pool(pool_threads);
                pool.stop_when(&python_signals());
                game::play_arena(arena.setup, arena.first, arena.count, pool,
                                 results.first.data(), results.second.data());
            },
            ARENA_STOPPED);
    } catch (const std::system_error& failure) {
        raise_threads_failed(pool_threads, failure);
    }
    return results;
}

// A LockstepArena with the arrays its results go to. Its calls release the interpreter lock, so
// each takes the arena for itself.
class Arena {
public:
    Arena(const std::vector<std::optional<BotName>>& names, std::uint64_t seed, IndexArgument games,
          IndexArgument window, IndexArgument threads, IndexArgument opening,
          IndexArgument first_game, bool record)
        : Arena(games_of(names, seed, first_game, games, threads, opening), window, record) {}

    Arena(const ArenaGames& arena, IndexArgument window, bool record)
        : results_(new_results(arena.count)) {
        const std::size_t num_games = arena.count;
        const std::size_t side_by_side = count_in(window, "batch_size", 1, game::MAX_WINDOW);
        if (record) {
            try {
                histories_ = new_array<Histories>({num_games, game::MAX_PLACEMENTS});
            } catch (const std::bad_alloc&) {
                raise_too_large(
                    std::to_string(num_games) + " games",
                    static_cast<double>(num_games) * sizeof(std::int32_t) * game::MAX_PLACEMENTS,
                    "for their histories");
            }
            std::fill_n(histories_->data(), num_games * game::MAX_PLACEMENTS, -1);
        }
        try {
            arena_.emplace(arena.setup, arena.first, num_games, side_by_side, arena.threads,
                           results_.first.data(), results_.second.data(),
                           histories_ ? histories_->data() : nullptr);
        } catch (const std::bad_alloc&) {
            raise_too_large("a window of " + std::to_string(side_by_side) + " games",
                            static_cast<double>(side_by_side) * sizeof(game::State) * 4,
                            "for their positions and legal moves");
        } catch (const std::system_error& failure) {
            raise_threads_failed(arena.threads, failure);
        }
        arena_->stop_when(&python_signals());
    }

    std::size_t num_games() const { return arena_->num_games(); }
    std::size_t window() const { return arena_->window(); }
    std::size_t finished() const { return arena_->finished(); }

    bool advance() {
        const ExclusiveUse use(in_use_, "arena");
        bool remain = false;
        unlocked([&] { remain = arena_->advance(); });
        return remain;
    }

    Games select(std::uint8_t bots) {
        const ExclusiveUse use(in_use_, "arena");
        arena_->select(bots);
        return selected_games();
    }

    nb::dict observe() {
        const ExclusiveUse use(in_use_, "arena");
        const std::size_t n = arena_->selected();
        // The fields of a seat's view with its legal placements as lists, each a new array.
        game::FieldArrays out;
        nb::dict view;
        for (const game::FieldSpec& field : game::FIELDS) {
            if (field.part != game::Part::View || !field.in(game::MaskLayout::Indices) ||
                field.rows == game::Rows::Packed)
                continue;
            auto array = new_field_array(field, array_shape(field, n, 0));
            out.set(field.field, array.data());
            view[nb::str(field.name.data(), field.name.size())] = array;
        }
        std::size_t total = 0;
        unlocked([&] { total = arena_->observe(out); });
        const game::FieldSpec& lists = game::spec(game::Field::LegalIndices);
        auto indices = new_field_array(lists, {{total}, 1});
        unlocked([&] {
            arena_->write_legal_indices(out.get<game::Field::LegalOffsets>(),
                                        static_cast<std::int32_t*>(indices.data()));
        });
        view[nb::str(lists.name.data(), lists.name.size())] = indices;
        view["game"] = selected_games();
        return view;
    }

    std::vector<game::State> states() {
        const ExclusiveUse use(in_use_, "arena");
        std::vector<game::State> states;
        states.reserve(arena_->selected());
        for (std::size_t i = 0; i < arena_->selected(); ++i) states.push_back(arena_->state(i));
        return states;
    }

    void play(const Moves& moves) {
        const ExclusiveUse use(in_use_, "arena");
        if (moves.shape(0) != arena_->selected())
            raise_value_error("%zu moves for %zu games: one grid index per game", moves.shape(0),
                              arena_->selected());
        std::optional<game::Refusal> refused;
        unlocked([&] { refused = arena_->play({moves.data(), moves.shape(0)}); });
        if (refused)
            raise_value_error("game %zu: grid index %lld for seat %zu: %s", refused->game,
                              static_cast<long long>(refused->action), refused->seat,
                              refused->message.c_str());
    }

    Results results() const {
        check_finished();
        return results_;
    }

    Histories histories() const {
        if (!histories_) raise_value_error("the arena was made without record=True");
        check_finished();
        return *histories_;
    }

private:
    void check_finished() const {
        if (arena_->finished() < arena_->num_games())
            raise_value_error("%zu of the %zu games are still to be played",
                              arena_->num_games() - arena_->finished(), arena_->num_games());
    }

    // The game index of each selected game.
    Games selected_games() const {
        auto games = new_array<Games>({arena_->selected()});
        for (std::size_t i = 0; i < arena_->selected(); ++i)
            games.data()[i] = static_cast<std::int64_t>(arena_->game_of(i));
        return games;
    }

    // Runs work() with the interpreter lock released. When Ctrl-C stops it, the exception's note
    // counts the games played out.
    template <class Work>
    void unlocked(Work&& work) {
        without_lock(
            [&] {
                try {
                    work();
                } catch (const game::Interrupted&) {
                    throw game::Interrupted(arena_->finished(), arena_->num_games());
                }
            },
            ARENA_STOPPED);
    }

    Results results_;
    std::optional<Histories> histories_;
    std::optional<game::LockstepArena> arena_;
    ExclusiveUse::Mark in_use_{0};
};

using Shares = nb::ndarray<nb::numpy, double>;

// game::win_share of every seat of every row of four scores, of any integer type: read as they
// are, since a conversion to one type first would truncate floats and wrap the largest unsigned
// values, and a message would then quote what it made.
Shares win_shares(const AnyArray& scores) {
    using Code = nb::dlpack::dtype_code;
    const nb::dlpack::dtype dtype = scores.dtype();
    if (!holds_integers(scores)) {
        const char* kind = dtype.code == static_cast<std::uint8_t>(Code::Float)     ? "float"
                           : dtype.code == static_cast<std::uint8_t>(Code::Complex) ? "complex"
                           : dtype.code == static_cast<std::uint8_t>(Code::Bool)    ? "bool"
                                                                                    : "other";
        PyErr_Format(PyExc_TypeError, "scores must be integers, not %s values of %u bits", kind,
                     static_cast<unsigned>(dtype.bits));
        throw nb::python_error();
    }
    const std::size_t ndim = scores.ndim();
    if ((ndim != 1 && ndim != 2) || scores.shape(ndim - 1) != NUM_AGENTS)
        raise_value_error("scores must have shape (4,) or (n, 4)");
    const std::size_t rows = ndim == 1 ? 1 : scores.shape(0);
    Shares shares =
        ndim == 1 ? new_array<Shares>({NUM_AGENTS}) : new_array<Shares>({rows, NUM_AGENTS});
    // Every score checked and put in its share's place first, then each row's shares over them.
    for_each_integer(scores, [&](std::size_t i, auto score) {
        if (!std::in_range<std::int16_t>(score)) {
            if constexpr (std::is_signed_v<decltype(score)>)
                raise_value_error("a score must be between %d and %d, not %lld", INT16_MIN,
                                  INT16_MAX, static_cast<long long>(score));
            else
                raise_value_error("a score must be between %d and %d, not %llu", INT16_MIN,
                                  INT16_MAX, static_cast<unsigned long long>(score));
        }
        shares.data()[i] = score;
    });
    for (double* row = shares.data(); row < shares.data() + rows * NUM_AGENTS; row += NUM_AGENTS) {
        std::array<std::int16_t, NUM_AGENTS> game_scores;
        std::copy_n(row, NUM_AGENTS, game_scores.begin());
        for (std::size_t seat = 0; seat < NUM_AGENTS; ++seat)
            row[seat] = game::win_share(game_scores, seat);
    }
    return shares;
}

}  // namespace

game::BotSpec engine_bot(const BotName& name) {
    std::string why;
    const std::optional<game::BotSpec> bot = game::bot_named(name.bytes, &why);
    if (!bot)
        throw nb::value_error(("unknown bot " + game::quoted(name.bytes) + ": " + why).c_str());
    return *bot;
}

void bind_arena(nb::module_& module) {
    using namespace nb::literals;
    // The limits of an arena's arguments, for the package to check them against: its random
    // opening may take up to every placement of a game.
    module.attr("MAX_GAMES") = MAX_GAMES;
    module.attr("MAX_PLACEMENTS") = game::MAX_PLACEMENTS;
    module.attr("MAX_WINDOW") = game::MAX_WINDOW;
    module.def("win_shares", win_shares, "scores"_a,
               "Each seat's share of the win, float64 of the shape of `scores`, integer final\n"
               "scores of shape (4,) or (n, 4): 1 shared equally by the seats with the best\n"
               "score of their row, 0 to the others. TypeError for scores that are not\n"
               "integers, ValueError quoting a score outside -32768 to 32767.");
    module.def(
        "bot_name", [](const BotName& name) { return BotName{game::name(engine_bot(name))}; },
        "name"_a,
        "The engine's own spelling of a bot's name: 'random', 'greedy', or 'net' or 'mcts' with\n"
        "the settings that differ from the defaults ('mcts:400' for 400 playouts a move,\n"
        "'net:path=FILE', a value holding a comma in single quotes: setting_text).\n"
        "ValueError says why a name names no bot; a 'net:path=FILE' is read now.");
    module.def(
        "bot_names",
        [](const BotName& list) {
            std::vector<BotName> names;
            for (std::string& name : game::bot_names_in(list.bytes))
                names.push_back(BotName{std::move(name)});
            return names;
        },
        "list"_a,
        "The names in a list of bots separated by commas ('greedy,mcts:ms=5,playout=random' is\n"
        "two): a key=value piece outside quotes is a setting of the name before it. Unchecked.");
    module.def(
        "play_arena", play_arena, "bots"_a, "seed"_a, "first"_a, "count"_a, "threads"_a,
        "opening"_a = 0,
        "Plays games first to first + count - 1 between four bots (names) with the\n"
        "interpreter lock released, each opening with `opening` random placements; returns\n"
        "(scores, seats): count x 4 int16 scores by seat and count x 4 uint8 seats of each bot.");
    nb::class_<Arena>(
        module, "Arena", nb::is_final(),
        "Games first to first + games - 1 between four bots, some of them the caller's (None\n"
        "in bots), up to `window` at once in lockstep: each round is advance(), select(bots),\n"
        "observe() or states(), and play(moves). Bot i sits at seat (i + g) % 4 in game g,\n"
        "which draws from a generator seeded from (seed, g) and opens with `opening` random\n"
        "placements. With record=True it keeps every game's moves for histories().")
        .def(nb::init<const std::vector<std::optional<BotName>>&, std::uint64_t, IndexArgument,
                      IndexArgument, IndexArgument, IndexArgument, IndexArgument, bool>(),
             "bots"_a, "seed"_a, "games"_a, "window"_a, "threads"_a, "opening"_a = 0, "first"_a = 0,
             "record"_a = false)
        .def_prop_ro("games", &Arena::num_games, "The number of games.")
        .def_prop_ro("window", &Arena::window, "How many games are played side by side.")
        .def_prop_ro("finished", &Arena::finished, "The games over so far.")
        .def("advance", &Arena::advance,
             "Plays the engine's bots until every game waits for the caller, beginning new games\n"
             "in the place of those that end; returns whether games remain. Clears the selection.")
        .def("select", &Arena::select, "bots"_a,
             "Selects the games waiting for one of `bots` (bit i for bot i), in window order;\n"
             "returns their game indices.")
        .def("observe", &Arena::observe,
             "The selected games as the mover sees them: observation (n, 4, 20, 20) uint8,\n"
             "hands (n, 4, 21) uint8, legal_offsets (n + 1,) and legal_indices int32 (row i's\n"
             "legal grid indices are legal_indices[legal_offsets[i]:legal_offsets[i + 1]]),\n"
             "seat (n,) int8 and game (n,) int64.")
        .def("states", &Arena::states, "Copies of the selected games' positions.")
        .def("play", &Arena::play, "moves"_a,
             "Plays moves[i] in the i-th selected game. ValueError names the first game whose\n"
             "move is illegal; that game waits as it was, the others have moved.")
        .def("results", &Arena::results,
             "(scores, seats) once every game is over: games x 4 int16 scores by seat and\n"
             "games x 4 uint8 seats of each bot.")
        .def("histories", &Arena::histories,
             "Once every game is over, with record=True: games x 84 int32, row g the grid\n"
             "indices of game g in order, then -1.");
}

}  // namespace core
