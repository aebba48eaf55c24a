// tavlok._core.State: one position of a game, a small value that copies cheaply, for tree search
// and evaluation. The package adds the methods that draw and record it (board, svg, _repr_svg_,
// last_placement, record) in Python, where the pictures and records are.
#include "game/state.hpp"

#include <nanobind/stl/optional.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/tuple.h>

#include <algorithm>
#include <array>
#include <memory>
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
// State.observation's mask: the view's, read as one (20, 20) plane per orientation, as
// PyTavlok.observe gives it.
using GridMask =
    nb::ndarray<nb::numpy, std::uint8_t, nb::shape<game::NUM_ORIENTATIONS, SIDE, SIDE>>;
static_assert(game::NUM_ORIENTATIONS * SIDE * SIDE ==
              game::spec(game::Field::MaskBytes).entries(0));
using Array = nb::ndarray<nb::numpy>;
using ViewArrays = nb::typed<nb::dict, nb::str, Array>;

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

std::size_t seat_or_mover(const State& state, const std::optional<IndexArgument>& seat) {
    return seat ? static_cast<std::size_t>(index_below(*seat, "seat", game::NUM_AGENTS))
                : state.seat();
}

// Bit f for game::Field f: the fields a call wants.
constexpr std::uint32_t bit(game::Field field) { return 1u << static_cast<unsigned>(field); }
// What State.view gives: every field of a seat's view but its seat, which its caller named.
constexpr std::uint32_t VIEW_FIELDS = ~bit(game::Field::Seat);
constexpr std::uint32_t LEGAL_FIELDS = bit(game::Field::MaskBytes) | bit(game::Field::MaskBits) |
                                       bit(game::Field::LegalIndices);

// Runs LegalLists' copying out on the calling thread: one list is far short of the length whose
// copying it would share out.
struct OnThisThread {
    template <class Work>
    void run(std::size_t count, Work&& work) {
        work(0, count);
    }
};

// One seat's view written into new memory: each field of `layout` among `wanted` (none of the
// offsets: one list needs none), shaped as one env of the single observation space, (*shape) for
// a field per env and as long as it is for a list. Written by write_view, as a batch writes its
// envs; the memory is handed out as numpy arrays that own it. Only the seat to move has
// candidates.
class SeatView {
public:
    SeatView(const State& state, std::size_t seat, game::ViewLayout layout, std::uint32_t wanted) {
        std::optional<game::ActionMask> legal;
        if ((wanted & LEGAL_FIELDS) != 0) legal = state.legal_mask(seat);
        std::unique_ptr<game::NetInputs> candidates;
        if (layout.candidates > 0 && seat == state.seat() && !state.is_terminal()) {
            candidates = std::make_unique<game::NetInputs>();
            game::net_inputs(state, *candidates);
        }
        game::FieldArrays out;
        out.candidates = layout.candidates;
        std::optional<game::LegalLists> lists;
        for (const game::FieldSpec& field : game::FIELDS) {
            if (field.part != game::Part::View || !field.in(layout) ||
                (wanted & bit(field.field)) == 0 || field.rows == game::Rows::Offsets)
                continue;
            if (field.rows == game::Rows::Packed)
                lists.emplace(1);
            else
                out.set(field.field, add(field, env_shape(field, layout.candidates)));
        }
        game::write_view({state.seen_by(seat), seat, legal ? &*legal : nullptr, candidates.get()},
                         out, 0, lists ? &*lists : nullptr);
        if (!lists) return;
        std::int32_t offsets[2];
        const std::size_t length = lists->write_offsets(1, offsets);
        void* indices = add(game::spec(game::Field::LegalIndices), {{length}, 1});
        OnThisThread here;
        lists->write_indices(here, 1, offsets, static_cast<std::int32_t*>(indices));
    }

    const Array& array(game::Field f) const { return *arrays_[static_cast<std::size_t>(f)]; }

    // Every field written, by name, in the order of the table.
    ViewArrays arrays() const {
        ViewArrays view;
        for (const game::FieldSpec& field : game::FIELDS)
            if (const std::optional<Array>& array = arrays_[static_cast<std::size_t>(field.field)])
                view[nb::str(field.name.data(), field.name.size())] = *array;
        return view;
    }

private:
    // A new array of `field`, kept as its array; returns its memory.
    void* add(const game::FieldSpec& field, const ArrayShape& shape) {
        return arrays_[static_cast<std::size_t>(field.field)]
            .emplace(new_field_array(field, shape))
            .data();
    }

    std::array<std::optional<Array>, game::NUM_FIELDS> arrays_;
};

ViewArrays view(const State& state, std::optional<IndexArgument> seat, NameArgument mask,
                std::optional<IndexArgument> candidates) {
    const game::ViewLayout layout = view_layout(mask, candidates);
    return SeatView(state, seat_or_mover(state, seat), layout, VIEW_FIELDS).arrays();
}

std::pair<Array, GridMask> observation(const State& state, std::optional<IndexArgument> seat) {
    const SeatView view(state, seat_or_mover(state, seat), game::MaskLayout::Bytes,
                        bit(game::Field::Observation) | bit(game::Field::MaskBytes));
    const Array& mask = view.array(game::Field::MaskBytes);
    return {view.array(game::Field::Observation),
            GridMask(mask.data(), {game::NUM_ORIENTATIONS, SIDE, SIDE}, nb::cast(mask))};
}

Array hands(const State& state, IndexArgument viewer) {
    const std::size_t seat = index_below(viewer, "seat", game::NUM_AGENTS);
    return SeatView(state, seat, game::MaskLayout::Bytes, bit(game::Field::Hands))
        .array(game::Field::Hands);
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
        .def("view", view, "seat"_a = nb::none(), "mask"_a.none() = nb::str("bytes"),
             "candidates"_a.none() = nb::none(),
             nb::sig("def view(self, seat: typing.SupportsIndex | None = None, mask: str = "
                     "'bytes', candidates: typing.SupportsIndex | None = None) -> dict[str, "
                     "numpy.typing.NDArray]"),
             "What seat `seat` (the seat to move when None) sees, as the single envs hand it\n"
             "out: the fields of view_fields(mask, candidates) that are part of the view but\n"
             "'seat', by name, each a new array of one env's shape and dtype, and the legal grid\n"
             "indices as one list, as long as it is, with no offsets. Only the seat to move has\n"
             "candidates; another seat's view lists none.")
        .def("hands", hands, "viewer"_a = 0,
             "(4, 21) uint8, new: the view's 'hands' of seat `viewer`: row k for the seat k\n"
             "turns after it, column j for the j-th kind of tavlok.KINDS, 1 while that seat\n"
             "still holds it.")
        .def("observation", observation, "seat"_a = nb::none(),
             "(planes, mask): what PyTavlok.observe(seat) gives in the same game, as new uint8\n"
             "arrays of shape (4, 20, 20) and (91, 20, 20), the view's 'observation' and its\n"
             "'action_mask' read one plane per orientation; the seat to move when seat is None.")
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
