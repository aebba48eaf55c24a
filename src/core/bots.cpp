// tavlok._core's bots, one move at a time on a State (the arena plays them in arena.cpp); what the
// net's training reads: the net's features and the search's visits at a position; and the
// engine's own reader and writer of weights files, which tavlok.net uses.
#include "game/bots.hpp"

#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/tuple.h>
#include <nanobind/stl/vector.h>

#include <chrono>
#include <optional>
#include <span>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "core.hpp"
#include "game/bot_names.hpp"
#include "game/mcts.hpp"
#include "game/net.hpp"
#include "game/players.hpp"
#include "interrupt.hpp"

namespace core {

// A path argument, str, bytes or os.PathLike, converted in the function body (path_bytes).
struct PathArgument {
    nb::handle value;
};

}  // namespace core

template <>
struct nanobind::detail::type_caster<core::PathArgument>
    : object_argument_caster<core::PathArgument, const_name("str | bytes | os.PathLike")> {};

namespace core {

namespace {

std::size_t move_of(std::optional<std::size_t> action) {
    if (!action) throw nb::value_error("the game is over: no seat has a move");
    return *action;
}

using Indices = nb::ndarray<nb::numpy, std::int64_t, nb::ndim<1>>;
using Features = nb::ndarray<nb::numpy, float, nb::shape<-1, game::NET_FEATURES>>;
using Scores = nb::ndarray<nb::numpy, float, nb::ndim<1>>;

// The engine bot of that name, which must be of `kind`; ValueError otherwise.
game::BotSpec bot_of_kind(const BotName& name, game::BotKind kind, const char* what) {
    game::BotSpec bot = engine_bot(name);
    if (bot.kind != kind)
        throw nb::value_error((game::quoted(name.bytes) + " is not " + what).c_str());
    return bot;
}

// The search bot's move, searched by `mcts` with the interpreter lock released. Ctrl-C (a signal
// handler that raises) ends the search and raises, with a note, instead of returning a move.
std::size_t searched_move(const game::State& state, const game::BotSpec& bot, game::Mcts& mcts) {
    // The caller's State could be changed by another thread while the lock is released.
    const game::State position = state;
    const bool timed = bot.mcts.budget_kind == game::BudgetKind::Milliseconds;
    std::optional<std::size_t> action;
    without_lock(
        [&] {
            // The search asks about once a millisecond; the signal handlers need the lock, which
            // is taken only every StopCheck::PERIOD.
            using Clock = std::chrono::steady_clock;
            const Clock::time_point start = Clock::now();
            Clock::time_point next_check = start + game::StopCheck::PERIOD;
            const game::MctsResult result = mcts.search(position, [&] {
                const Clock::time_point now = Clock::now();
                if (now < next_check) return false;
                next_check = now + game::StopCheck::PERIOD;
                return python_signals().stop_requested();
            });
            if (result.stopped) {
                const auto spent =
                    std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
                throw game::Interrupted(
                    timed ? static_cast<std::size_t>(spent.count()) : result.playouts,
                    bot.mcts.budget);
            }
            action = result.action;
        },
        {"the search", timed ? "milliseconds" : "playouts", "it returns no move"});
    return move_of(action);
}

// The search's move with the playouts of each move it considered, the net's training targets.
std::tuple<std::size_t, Indices, Indices> mcts_visits(const game::State& state, const BotName& name,
                                                      std::uint64_t seed) {
    game::BotSpec bot = bot_of_kind(name, game::BotKind::Mcts, "the search bot, 'mcts'");
    bot.mcts.seed = seed;
    game::Mcts mcts(bot.mcts);
    const std::size_t move = searched_move(state, bot, mcts);
    std::size_t n = 0;
    mcts.for_each_root_move([&](std::size_t, std::size_t) { ++n; });
    auto moves = new_array<Indices>({n}), visits = new_array<Indices>({n});
    std::size_t i = 0;
    mcts.for_each_root_move([&](std::size_t move, std::size_t playouts) {
        moves.data()[i] = static_cast<std::int64_t>(move);
        visits.data()[i++] = static_cast<std::int64_t>(playouts);
    });
    return {move, moves, visits};
}

// The candidates' grid indices in greedy's order, as a new array.
Indices candidates_of(const game::NetInputs& inputs) {
    auto moves = new_array<Indices>({inputs.size()});
    for (std::size_t i = 0; i < inputs.size(); ++i)
        moves.data()[i] = static_cast<std::int64_t>(inputs.grid_index(i));
    return moves;
}

std::pair<Indices, Features> net_features(const game::State& state) {
    game::NetInputs inputs;
    game::net_inputs(state, inputs);
    auto features = new_array<Features>({inputs.size(), game::NET_FEATURES});
    std::copy_n(inputs.features.data(), inputs.size() * game::NET_FEATURES, features.data());
    return {candidates_of(inputs), features};
}

// A net bot, its weights read once: tavlok.bots.Net plays through it.
class NetBot {
public:
    explicit NetBot(const BotName& name)
        : bot_(bot_of_kind(name, game::BotKind::Net, "the net bot, 'net'")) {}

    BotName name() const { return {game::name(bot_)}; }

    std::size_t action(const game::State& state, std::uint64_t key) const {
        const game::State position = state;
        std::optional<std::size_t> action;
        {
            nb::gil_scoped_release unlocked;
            action = game::net_action(bot_.net_weights(), position, bot_.temperature, key);
        }
        return move_of(action);
    }

    std::pair<Indices, Scores> scores(const game::State& state) const {
        game::NetInputs inputs;
        game::net_inputs(state, inputs);
        auto scores = new_array<Scores>({inputs.size()});
        game::net_scores(bot_.net_weights(), inputs, scores.data());
        return {candidates_of(inputs), scores};
    }

private:
    game::BotSpec bot_;
};

// A path as open() takes it: its bytes as os.fsencode gives them, NULs and all, for the engine to
// refuse in its own words.
std::string path_bytes(PathArgument path) {
    nb::object native = nb::steal(PyOS_FSPath(path.value.ptr()));
    if (!native.is_valid()) throw nb::python_error();
    if (PyUnicode_Check(native.ptr())) {
        native = nb::steal(PyUnicode_EncodeFSDefault(native.ptr()));
        if (!native.is_valid()) throw nb::python_error();
    }
    return {PyBytes_AS_STRING(native.ptr()),
            static_cast<std::size_t>(PyBytes_GET_SIZE(native.ptr()))};
}

using Weight = nb::ndarray<nb::numpy, float, nb::ndim<2>>;
using Bias = nb::ndarray<nb::numpy, float, nb::ndim<1>>;
using WeightArgument = nb::ndarray<const float, nb::ndim<2>, nb::c_contig, nb::device::cpu>;
using BiasArgument = nb::ndarray<const float, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

// The layers of a weights file as the engine reads them, as numpy arrays in the file's layout.
std::vector<std::pair<Weight, Bias>> read_net_weights(PathArgument path) {
    std::string why;
    const std::shared_ptr<const game::NetWeights> net =
        game::NetWeights::load(path_bytes(path), &why);
    if (!net) throw nb::value_error(why.c_str());
    std::vector<std::pair<Weight, Bias>> layers;
    for (const game::NetLayer& layer : net->layers()) {
        auto weight = new_array<Weight>({layer.outputs, layer.inputs});
        for (std::size_t o = 0; o < layer.outputs; ++o)
            for (std::size_t i = 0; i < layer.inputs; ++i)
                weight.data()[o * layer.inputs + i] = layer.weights[i * layer.outputs + o];
        auto bias = new_array<Bias>({layer.outputs});
        std::copy(layer.bias.begin(), layer.bias.end(), bias.data());
        layers.emplace_back(weight, bias);
    }
    return layers;
}

nb::bytes net_weights_file(const std::vector<std::pair<WeightArgument, BiasArgument>>& layers,
                           PathArgument path, std::uint32_t feature_set) {
    std::vector<game::NetLayerData> data;
    for (const auto& [weight, bias] : layers)
        data.push_back({weight.shape(1),
                        weight.shape(0),
                        {weight.data(), weight.size()},
                        {bias.data(), bias.size()}});
    std::string why;
    const std::optional<game::Bytes> bytes =
        game::NetWeights::file_bytes(feature_set, data, path_bytes(path), &why);
    if (!bytes) throw nb::value_error(why.c_str());
    return nb::bytes(bytes->data(), bytes->size());
}

}  // namespace

void bind_bots(nb::module_& module) {
    using namespace nb::literals;
    module.def(
        "greedy_action",
        [](const game::State& state) { return move_of(game::greedy_action(state)); }, "state"_a,
        "The greedy bot's move for the seat to move: largest piece first, then most own corner\n"
        "cells after the move plus opponents' corner cells covered, then lowest grid index.");
    module.def(
        "random_action",
        [](const game::State& state, std::uint64_t key) {
            return move_of(game::random_action(state, key));
        },
        "state"_a, "key"_a,
        "The legal move number floor(key * n / 2**64) of the n, ascending, for a random 64-bit\n"
        "key: uniform when the key is.");
    module.def(
        "mcts_action",
        [](const game::State& state, const BotName& bot, std::uint64_t seed) {
            return std::get<0>(mcts_visits(state, bot, seed));
        },
        "state"_a, "bot"_a = "mcts", "seed"_a = 0,
        "The move of search bot `bot` ('mcts' with its settings, see bot_name) for the\n"
        "seat to move, its search seeded with `seed`. With a budget of playouts it\n"
        "depends only on the position, the settings and the seed. Searches with the\n"
        "interpreter lock released; Ctrl-C ends it with KeyboardInterrupt, and no move.");
    module.def("mcts_visits", mcts_visits, "state"_a, "bot"_a = "mcts", "seed"_a = 0,
               "(move, moves, playouts): what mcts_action(state, bot, seed) plays, and the moves\n"
               "its search considered (the candidates of net_features, in greedy's order) with\n"
               "the playouts that began with each, as int64 arrays.");

    nb::list names;
    for (std::size_t i = 0; i < game::NET_FEATURES; ++i) names.append(game::net_feature_name(i));
    module.attr("NET_FEATURES") = nb::tuple(names);
    module.attr("NET_FEATURE_SET") = game::NET_FEATURE_SET;
    module.attr("MAX_CANDIDATES") = game::MAX_CANDIDATES;
    module.def("net_features", net_features, "state"_a,
               "(moves, features): the candidate moves of the seat to move that the net scores\n"
               "(the search's: greedy's order, largest pieces first, at most MAX_CANDIDATES) as\n"
               "int64 grid indices, and their features, float32 of shape (moves,\n"
               "len(NET_FEATURES)); empty once the game is over.");
    nb::class_<NetBot>(module, "NetBot", nb::is_final(),
                       "The net bot of a name ('net', 'net:path=FILE,temperature=X'), its\n"
                       "weights read once, when it is made.")
        .def(nb::init<const BotName&>(), "name"_a = "net")
        .def_prop_ro("name", &NetBot::name, "The engine's spelling of its name.")
        .def("action", &NetBot::action, "state"_a, "key"_a = 0,
             "Its move for the seat to move, with the interpreter lock released; with a\n"
             "temperature, drawn by `key`, a 64-bit number read as a fraction.")
        .def("scores", &NetBot::scores, "state"_a,
             "(moves, scores): the moves of net_features and the net's float32 score of each.");
    module.def("read_net_weights", read_net_weights, "path"_a,
               "The layers of the weights file at `path` (str, bytes or os.PathLike), read by the\n"
               "engine's loader, the one 'net:path=FILE' uses: a list of (weight, bias) float32\n"
               "arrays of shapes (outputs, inputs) and (outputs,), first layer first. ValueError\n"
               "names the file and says what is wrong, in the words a bot name's refusal uses; a\n"
               "FIFO, a device or a directory is refused without being read.");
    module.def(
        "net_weights_file", net_weights_file, "layers"_a, "path"_a,
        "feature_set"_a = game::NET_FEATURE_SET,
        "The bytes of a weights file of `layers` ((weight, bias) float32 arrays as\n"
        "read_net_weights gives them), laid out by the engine's writer and read back by its\n"
        "reader: ValueError, naming `path` (where the caller means to write them), for\n"
        "layers that do not follow on or that the engine would refuse to read.");
    module.def(
        "setting_text",
        [](const BotName& value) { return BotName{game::setting_text(value.bytes)}; }, "value"_a,
        "A setting's value as a bot name writes it: as it is, or in single quotes (a quote\n"
        "inside doubled) when it holds a comma or begins with a quote, so that it reads back\n"
        "whole: f'net:path={setting_text(path)}' names the file at path, whatever it holds.");
}

}  // namespace core
