// tavlok._core.State: one position of a game, a small value that copies cheaply, for tree search
// and evaluation. The package adds the methods that draw and record it (board, svg, _repr_svg_,
// last_placement, record) in Python, where the pictures and records are.
#include "game/state.hpp"

#include <nanobind/stl/optional.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/tuple.h>

#include <array>
#include <optional>
#include <span>
#include <string>
#include <tuple>

#include "core.hpp"

namespace core {

namespace {

using game::State;

constexpr std::size_t SIDE = game::BOARD_SIZE;

using History = nb::typed<nb::tuple, int, nb::ellipsis>;
using Actions = nb::typed<nb::iterable, IndexArgument>;
using Scores = std::tuple<std::int16_t, std::int16_t, std::int16_t, std::int16_t>;
using LegalActions = nb::ndarray<nb::numpy, std::intptr_t, nb::ndim<1>>;
using Planes = nb::ndarray<nb::numpy, std::uint8_t, nb::shape<game::NUM_AGENTS, SIDE, SIDE>>;
using GridMask =
    nb::ndarray<nb::numpy, std::uint8_t, nb::shape<game::NUM_ORIENTATIONS, SIDE, SIDE>>;
using Hands =
    nb::ndarray<nb::numpy, std::uint8_t, nb::shape<game::NUM_AGENTS, game::NUM_PIECE_TYPES>>;

History history_of(const State& state) {
    const std::span<const std::uint16_t> moves = state.history();
    nb::tuple_builder tuple(moves.size());
    for (const std::uint16_t move : moves) tuple.put(move);
    return History(tuple.commit());
}

// A new game with the grid indices `actions` applied in order; ValueError names the first one
// refused.
State replayed(const Actions& actions) {
    // One more than a game can hold, so that an over-long history is refused, not cut short.
    std::array<std::uint16_t, game::MAX_PLACEMENTS + 1> history;
    std::size_t length = 0;
    for (const nb::handle action : actions) {
        history[length++] =
            static_cast<std::uint16_t>(index_below({action}, "grid index", game::NUM_GRID_INDICES));
        if (length == history.size()) break;
    }
    const State::Replay replay = State::from_history(std::span(history).first(length));
    if (replay.refused_at)
        raise_value_error("move %zu of the history: %s", *replay.refused_at,
                          replay.refusal->message.c_str());
    return replay.state;
}

LegalActions legal_actions(const State& state) {
    const game::ActionMask legal = state.legal_mask();
    auto actions = new_array<LegalActions>({legal.count()});
    std::intptr_t* out = actions.data();
    legal.for_each_grid([&](std::size_t g) { *out++ = static_cast<std::intptr_t>(g); });
    return actions;
}

void apply(State& state, IndexArgument action) {
    const std::uint64_t grid_index = index_below(action, "grid index", game::NUM_GRID_INDICES);
    if (const std::optional<game::InvalidAction> refused = state.apply(grid_index))
        throw nb::value_error(refused->message.c_str());
}

std::pair<Planes, GridMask> observation(const State& state, std::optional<IndexArgument> seat) {
    const std::size_t viewer =
        seat ? static_cast<std::size_t>(index_below(*seat, "seat", game::NUM_AGENTS))
             : state.seat();
    auto planes = new_array<Planes>({game::NUM_AGENTS, SIDE, SIDE});
    auto mask = new_array<GridMask>({game::NUM_ORIENTATIONS, SIDE, SIDE});
    game::FieldArrays out;
    out.set(game::Field::Observation, planes.data());
    out.set(game::Field::MaskBytes, mask.data());
    const game::ActionMask legal = state.legal_mask(viewer);
    game::write_view({state.seen_by(viewer), viewer, &legal}, out, 0);
    return {planes, mask};
}

Hands hands(const State& state, IndexArgument viewer) {
    const std::size_t seat = index_below(viewer, "seat", game::NUM_AGENTS);
    auto hands = new_array<Hands>({game::NUM_AGENTS, game::NUM_PIECE_TYPES});
    game::FieldArrays out;
    out.set(game::Field::Hands, hands.data());
    game::write_view({state.seen_by(seat), seat}, out, 0);
    return hands;
}

std::optional<Scores> scores(const State& state) {
    const auto scores = state.scores();
    if (!scores) return std::nullopt;
    return Scores((*scores)[0], (*scores)[1], (*scores)[2], (*scores)[3]);
}

std::string repr(const State& state) {
    const std::string placements = std::to_string(state.history().size()) + " placements";
    const auto scores = state.scores();
    if (!scores)
        return "<tavlok.State: seat " + std::to_string(state.seat()) + " to move after " +
               placements + ">";
    std::string text = "<tavlok.State: over after " + placements + ", scores (";
    for (std::size_t seat = 0; seat < game::NUM_AGENTS; ++seat)
        text += std::to_string((*scores)[seat]) + (seat + 1 < game::NUM_AGENTS ? ", " : ")>");
    return text;
}

// A new instance of `type` holding `state`. Built in place rather than returned by value, which
// would have nanobind first look the temporary up among the live instances.
nb::typed<nb::object, State> instance(nb::handle type, const State& state) {
    nb::object result = nb::inst_alloc(type);
    new (nb::inst_ptr<State>(result)) State(state);
    nb::inst_mark_ready(result);
    return nb::typed<nb::object, State>(result);
}

// tp_new of State: a new game. Unpickling and State.__new__(State) make an instance without
// calling __init__, and one left empty would pass isinstance yet refuse every method. A C slot
// rather than a bound __new__, which would let object.__new__(State) make an empty one.
PyObject* new_game(PyTypeObject* type, PyObject*, PyObject*) noexcept {
    try {
        return instance(type, State()).release().ptr();
    } catch (nb::python_error& error) {
        error.restore();
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_RuntimeError, error.what());
    }
    return nullptr;
}

const PyType_Slot NEW_GAME[] = {{Py_tp_new, reinterpret_cast<void*>(new_game)}, {0, nullptr}};

nb::typed<nb::object, State> copy(nb::pointer_and_handle<State> self) {
    return instance(self.h.type(), *self.p);
}

}  // namespace

void bind_state(nb::module_& module) {
    using namespace nb::literals;
    // Pooled: search makes and drops copies by the million, and a pool recycles their instances.
    nb::class_<State>(
        module, "State", nb::pooled(), nb::is_final(), nb::type_slots(NEW_GAME),
        "A position of a game, starting from a new one: a small value that copies in\n"
        "well under a microsecond, for tree search. Seats without a legal placement\n"
        "are passed as soon as their turn comes. Two States are equal when the same\n"
        "pieces lie in the same places with the same seat to move, whatever the order\n"
        "of the moves; they pickle as their history.")
        // __new__ (NEW_GAME) has made the new game already.
        .def("__init__", [](nb::handle) {})
        .def_prop_ro("seat", &State::seat,
                     "The seat to move, one with a legal placement; once the game is over, the "
                     "seat that made the last placement.")
        .def_prop_ro("history", history_of,
                     "The grid indices applied so far, in order, as a tuple.")
        .def("legal_actions", legal_actions,
             "The grid indices the seat to move may play, ascending, as a new numpy intp array;\n"
             "empty once the game is over. Worked out on each call.")
        .def("apply", apply, "action"_a,
             "Places the piece that grid index `action` names for the seat to move, then passes\n"
             "the seats left without a legal placement. An illegal action raises ValueError with\n"
             "the reason and changes nothing.")
        .def("clone", copy, "An independent copy.")
        .def("__copy__", copy)
        // A State refers to nothing else, so the memo has nothing to share.
        .def(
            "__deepcopy__",
            [](nb::pointer_and_handle<State> self, nb::handle) { return copy(self); },
            "memo"_a = nb::none())
        .def("is_terminal", &State::is_terminal, "Whether no seat has a legal placement left.")
        .def("scores", scores,
             "The four final scores in seat order once the game is over, None before: minus the\n"
             "cells still in hand, 15 for a seat that placed every piece, 20 if the monomino was\n"
             "its last.")
        .def("hands", hands, "viewer"_a = 0,
             "(4, 21) uint8, new: row k for the seat k turns after seat `viewer`, column j for\n"
             "the j-th kind of tavlok.KINDS, 1 while that seat still holds it.")
        .def("observation", observation, "seat"_a = nb::none(),
             "(planes, mask): what PyTavlok.observe(seat) gives in the same game, as new uint8\n"
             "arrays of shape (4, 20, 20) and (91, 20, 20); the seat to move when seat is None.")
        .def_static("from_history", replayed, "actions"_a,
                    "A new game with the grid indices `actions` applied in order; ValueError\n"
                    "names the first illegal one.")
        // Saved as the moves that lead to the position, which any later engine can replay and
        // checks on the way in.
        .def("__getstate__", history_of)
        // What protocol 2 and later do by themselves, spelled out for protocols 0 and 1, which
        // cannot make an extension type without it.
        .def("__reduce__",
             [](nb::pointer_and_handle<State> self) {
                 return nb::make_tuple(nb::module_::import_("copyreg").attr("__newobj__"),
                                       nb::make_tuple(self.h.type()), history_of(*self.p));
             })
        // On the live new game that __new__ made, so `self` is taken as a plain object: nanobind
        // would otherwise expect an empty instance to construct in.
        .def(
            "__setstate__",
            [](nb::handle self, const Actions& history) {
                if (!nb::isinstance<State>(self)) throw nb::type_error("expected a State");
                nb::cast<State&>(self) = replayed(history);
            },
            "history"_a)
        .def("render", &State::text,
             "The board in seat 0's frame with ANSI colours, as PyTavlok.render prints it,\n"
             "returned as a string (41 lines, no final newline).")
        // Anything but a State compares unequal: NotImplemented, then Python's identity test.
        .def(
            "__eq__", [](const State& a, const State& b) { return a == b; }, nb::is_operator(),
            nb::sig("def __eq__(self, other: object, /) -> bool"))
        .def("__hash__", [](const State& state) { return static_cast<Py_hash_t>(state.hash()); })
        .def("__repr__", repr);
}

}  // namespace core
