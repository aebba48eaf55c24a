// tavlok.State: one position of a game, cheap to copy, for tree search and evaluation.
#include <cstring>
#include <string>

#include "search.hpp"

namespace search {

namespace {

ModuleState& module_of(PyTypeObject* type) {
    return *static_cast<ModuleState*>(PyType_GetModuleState(type));
}

game::State& value(PyObject* self) { return reinterpret_cast<StateObject*>(self)->state; }

constexpr std::size_t PLANE_SIDE = game::BOARD_SIZE;

// An integer array over a new bytearray that the caller fills, shaped as `shape`. Returns the
// array and points *data at its bytes, or returns null with an exception set.
PyObject* new_array(PyObject* dtype, PyObject* frombuffer, std::size_t bytes,
                    std::span<const Py_ssize_t> shape, char** data) noexcept {
    PyObject* buffer = PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(bytes));
    if (buffer == nullptr) return nullptr;
    *data = PyByteArray_AS_STRING(buffer);
    PyObject* flat = PyObject_CallFunctionObjArgs(frombuffer, buffer, dtype, nullptr);
    Py_DECREF(buffer);  // the array keeps it alive
    if (flat == nullptr || shape.size() <= 1) return flat;
    PyObject* dims = PyTuple_New(static_cast<Py_ssize_t>(shape.size()));
    if (dims == nullptr) {
        Py_DECREF(flat);
        return nullptr;
    }
    for (std::size_t i = 0; i < shape.size(); ++i) {
        PyObject* extent = PyLong_FromSsize_t(shape[i]);
        if (extent == nullptr) {
            Py_DECREF(dims);
            Py_DECREF(flat);
            return nullptr;
        }
        PyTuple_SET_ITEM(dims, static_cast<Py_ssize_t>(i), extent);
    }
    PyObject* shaped = PyObject_CallMethod(flat, "reshape", "(O)", dims);
    Py_DECREF(dims);
    Py_DECREF(flat);
    return shaped;
}

// The seat argument of observation and board: the seat to move when left out.
std::optional<std::size_t> seat_argument(PyObject* object, std::size_t otherwise) noexcept {
    if (object == nullptr || object == Py_None) return otherwise;
    const std::optional<std::uint64_t> seat = index_argument(object, "seat", game::NUM_AGENTS);
    if (!seat) return std::nullopt;
    return static_cast<std::size_t>(*seat);
}

PyObject* raise_refused(const game::InvalidAction& refused) noexcept {
    PyErr_SetString(PyExc_ValueError, refused.message.c_str());
    return nullptr;
}

// ---- Lifecycle --------------------------------------------------------------------------------

PyObject* state_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    if (PyTuple_GET_SIZE(args) != 0 || (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0)) {
        PyErr_SetString(PyExc_TypeError,
                        "State() takes no arguments; State.from_history(actions) "
                        "replays a game");
        return nullptr;
    }
    return guarded([&] {
        // The first State of the process may build the shared action set.
        const game::State fresh;
        return new_state(module_of(type), fresh);
    });
}

void state_dealloc(PyObject* self) noexcept {
    std::destroy_at(&value(self));
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

// ---- Methods ----------------------------------------------------------------------------------

PyObject* legal_actions(PyObject* self, PyObject*) noexcept {
    return guarded([&]() -> PyObject* {
        const ModuleState& module = module_of(Py_TYPE(self));
        const game::ActionMask legal = value(self).legal_mask();
        const Py_ssize_t count = static_cast<Py_ssize_t>(legal.count());
        char* data = nullptr;
        PyObject* array = new_array(module.intp, module.frombuffer,
                                    static_cast<std::size_t>(count) * sizeof(Py_ssize_t),
                                    std::span<const Py_ssize_t>(&count, 1), &data);
        if (array == nullptr) return nullptr;
        auto* out = reinterpret_cast<Py_ssize_t*>(data);
        legal.for_each_grid([&](std::size_t g) { *out++ = static_cast<Py_ssize_t>(g); });
        return array;
    });
}

const char* const APPLY_PARAMETERS[] = {"action"};

PyObject* apply(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                PyObject* kwnames) noexcept {
    PyObject* action = nullptr;
    if (!bind_arguments("apply", APPLY_PARAMETERS, 1, args, nargs, kwnames, &action))
        return nullptr;
    const std::optional<std::uint64_t> grid_index =
        index_argument(action, "grid index", game::NUM_GRID_INDICES);
    if (!grid_index) return nullptr;
    return guarded([&]() -> PyObject* {
        if (const std::optional<game::InvalidAction> refused = value(self).apply(*grid_index))
            return raise_refused(*refused);
        Py_RETURN_NONE;
    });
}

PyObject* clone(PyObject* self, PyObject*) noexcept {
    return new_state(module_of(Py_TYPE(self)), value(self));
}

const char* const DEEPCOPY_PARAMETERS[] = {"memo"};

PyObject* deepcopy(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames) noexcept {
    PyObject* memo = nullptr;
    if (!bind_arguments("__deepcopy__", DEEPCOPY_PARAMETERS, 0, args, nargs, kwnames, &memo))
        return nullptr;
    // A State refers to nothing else, so the memo has nothing to share.
    return clone(self, nullptr);
}

PyObject* is_terminal(PyObject* self, PyObject*) noexcept {
    return PyBool_FromLong(value(self).is_terminal());
}

PyObject* scores(PyObject* self, PyObject*) noexcept {
    const auto scores = value(self).scores();
    if (!scores) Py_RETURN_NONE;
    return Py_BuildValue("(hhhh)", (*scores)[0], (*scores)[1], (*scores)[2], (*scores)[3]);
}

const char* const SEAT_PARAMETERS[] = {"seat"};

PyObject* observation(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept {
    PyObject* seat_object = nullptr;
    if (!bind_arguments("observation", SEAT_PARAMETERS, 0, args, nargs, kwnames, &seat_object))
        return nullptr;
    const game::State& state = value(self);
    const std::optional<std::size_t> seat = seat_argument(seat_object, state.seat());
    if (!seat) return nullptr;
    return guarded([&]() -> PyObject* {
        const ModuleState& module = module_of(Py_TYPE(self));
        const Py_ssize_t planes_shape[] = {game::NUM_AGENTS, PLANE_SIDE, PLANE_SIDE};
        const Py_ssize_t mask_shape[] = {game::NUM_ORIENTATIONS, PLANE_SIDE, PLANE_SIDE};
        char* planes_data = nullptr;
        char* mask_data = nullptr;
        PyObject* planes = new_array(module.uint8, module.frombuffer, game::PLANE_BYTES,
                                     planes_shape, &planes_data);
        if (planes == nullptr) return nullptr;
        PyObject* mask = new_array(module.uint8, module.frombuffer, game::NUM_GRID_INDICES,
                                   mask_shape, &mask_data);
        if (mask == nullptr) {
            Py_DECREF(planes);
            return nullptr;
        }
        state.seen_by(*seat).write_planes(reinterpret_cast<std::uint8_t*>(planes_data));
        std::memset(mask_data, 0, game::NUM_GRID_INDICES);
        state.legal_mask(*seat).mark_grid_bytes(reinterpret_cast<std::uint8_t*>(mask_data));
        PyObject* pair = PyTuple_Pack(2, planes, mask);
        Py_DECREF(planes);
        Py_DECREF(mask);
        return pair;
    });
}

const char* const HISTORY_PARAMETERS[] = {"actions"};

PyObject* from_history(PyObject* cls, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) noexcept {
    PyObject* actions = nullptr;
    if (!bind_arguments("from_history", HISTORY_PARAMETERS, 1, args, nargs, kwnames, &actions))
        return nullptr;
    PyObject* iterator = PyObject_GetIter(actions);
    if (iterator == nullptr) return nullptr;
    // One more than a game can hold, so that an over-long history is refused, not cut short.
    std::array<std::uint16_t, game::MAX_PLACEMENTS + 1> history;
    std::size_t length = 0;
    PyObject* item = nullptr;
    while (length < history.size() && (item = PyIter_Next(iterator)) != nullptr) {
        const std::optional<std::uint64_t> index =
            index_argument(item, "grid index", game::NUM_GRID_INDICES);
        Py_DECREF(item);
        if (!index) break;
        history[length++] = static_cast<std::uint16_t>(*index);
    }
    Py_DECREF(iterator);
    if (PyErr_Occurred()) return nullptr;
    return guarded([&]() -> PyObject* {
        const game::State::Replay replay =
            game::State::from_history(std::span(history).first(length));
        if (replay.refused_at) {
            PyErr_Format(PyExc_ValueError, "move %zu of the history: %s", *replay.refused_at,
                         replay.refusal->message.c_str());
            return nullptr;
        }
        return new_state(module_of(reinterpret_cast<PyTypeObject*>(cls)), replay.state);
    });
}

PyObject* reduce(PyObject* self, PyObject*) noexcept {
    // Saved as the moves that lead to the position, which any later engine can replay.
    PyObject* replay =
        PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(self)), "from_history");
    if (replay == nullptr) return nullptr;
    PyObject* history = PyObject_GetAttrString(self, "history");
    if (history == nullptr) {
        Py_DECREF(replay);
        return nullptr;
    }
    PyObject* result = Py_BuildValue("(O(O))", replay, history);
    Py_DECREF(history);
    Py_DECREF(replay);
    return result;
}

PyObject* render(PyObject* self, PyObject*) noexcept {
    return guarded([&] {
        const std::string text = value(self).text();
        return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    });
}

const char* const VIEWER_PARAMETERS[] = {"viewer"};

PyObject* board(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                PyObject* kwnames) noexcept {
    PyObject* viewer_object = nullptr;
    if (!bind_arguments("board", VIEWER_PARAMETERS, 0, args, nargs, kwnames, &viewer_object))
        return nullptr;
    const std::optional<std::size_t> viewer = seat_argument(viewer_object, 0);
    if (!viewer) return nullptr;
    std::array<std::uint8_t, game::PLANE_BYTES> planes;
    value(self).seen_by(*viewer).write_planes(planes.data());
    PyObject* module = PyImport_ImportModule("tavlok.board");
    if (module == nullptr) return nullptr;
    PyObject* board_type = PyObject_GetAttrString(module, "Board");
    Py_DECREF(module);
    if (board_type == nullptr) return nullptr;
    PyObject* result = PyObject_CallMethod(board_type, "from_planes", "(y#n)", planes.data(),
                                           static_cast<Py_ssize_t>(planes.size()),
                                           static_cast<Py_ssize_t>(*viewer));
    Py_DECREF(board_type);
    return result;
}

PyObject* repr_svg(PyObject* self, PyObject*) noexcept {
    PyObject* snapshot = board(self, nullptr, 0, nullptr);
    if (snapshot == nullptr) return nullptr;
    PyObject* module = PyImport_ImportModule("tavlok.board");
    if (module == nullptr) {
        Py_DECREF(snapshot);
        return nullptr;
    }
    PyObject* svg = PyObject_CallMethod(module, "board_svg", "(O)", snapshot);
    Py_DECREF(module);
    Py_DECREF(snapshot);
    return svg;
}

// ---- Getters ----------------------------------------------------------------------------------

PyObject* get_seat(PyObject* self, void*) noexcept { return PyLong_FromSize_t(value(self).seat()); }

PyObject* get_history(PyObject* self, void*) noexcept {
    const std::span<const std::uint16_t> history = value(self).history();
    PyObject* moves = PyTuple_New(static_cast<Py_ssize_t>(history.size()));
    if (moves == nullptr) return nullptr;
    for (std::size_t i = 0; i < history.size(); ++i) {
        PyObject* move = PyLong_FromLong(history[i]);
        if (move == nullptr) {
            Py_DECREF(moves);
            return nullptr;
        }
        PyTuple_SET_ITEM(moves, static_cast<Py_ssize_t>(i), move);
    }
    return moves;
}

// ---- Slots ------------------------------------------------------------------------------------

PyObject* state_repr(PyObject* self) noexcept {
    const game::State& state = value(self);
    const std::size_t placements = state.history().size();
    if (const auto scores = state.scores())
        return PyUnicode_FromFormat(
            "<tavlok.State: over after %zu placements, scores (%d, %d, "
            "%d, %d)>",
            placements, (*scores)[0], (*scores)[1], (*scores)[2], (*scores)[3]);
    return PyUnicode_FromFormat("<tavlok.State: seat %zu to move after %zu placements>",
                                state.seat(), placements);
}

Py_hash_t state_hash(PyObject* self) noexcept {
    const auto hash = static_cast<Py_hash_t>(value(self).hash());
    return hash == -1 ? -2 : hash;  // -1 means an error to the interpreter
}

PyObject* state_richcompare(PyObject* self, PyObject* other, int op) noexcept {
    if ((op != Py_EQ && op != Py_NE) || Py_TYPE(other) != Py_TYPE(self)) Py_RETURN_NOTIMPLEMENTED;
    const bool equal = value(self) == value(other);
    return PyBool_FromLong(op == Py_EQ ? equal : !equal);
}

PyMethodDef STATE_METHODS[] = {
    {"legal_actions", legal_actions, METH_NOARGS,
     "legal_actions($self, /)\n--\n\n"
     "The grid indices the seat to move may play, ascending, as a new numpy intp array; empty\n"
     "once the game is over. Worked out on each call."},
    {"apply", as_method(apply), METH_FASTCALL | METH_KEYWORDS,
     "apply($self, /, action)\n--\n\n"
     "Places the piece that grid index `action` names for the seat to move, then passes the\n"
     "seats left without a legal placement. An illegal action raises ValueError with the reason\n"
     "and changes nothing."},
    {"clone", clone, METH_NOARGS, "clone($self, /)\n--\n\nAn independent copy."},
    {"__copy__", clone, METH_NOARGS, "__copy__($self, /)\n--\n\nAn independent copy."},
    {"__deepcopy__", as_method(deepcopy), METH_FASTCALL | METH_KEYWORDS,
     "__deepcopy__($self, /, memo=None)\n--\n\nAn independent copy."},
    {"is_terminal", is_terminal, METH_NOARGS,
     "is_terminal($self, /)\n--\n\nWhether no seat has a legal placement left."},
    {"scores", scores, METH_NOARGS,
     "scores($self, /)\n--\n\n"
     "The four final scores in seat order once the game is over, None before: minus the cells\n"
     "still in hand, 15 for a seat that placed every piece, 20 if the monomino was its last."},
    {"observation", as_method(observation), METH_FASTCALL | METH_KEYWORDS,
     "observation($self, /, seat=None)\n--\n\n"
     "(planes, mask): what PyTavlok.observe(seat) gives in the same game, as new uint8 arrays\n"
     "of shape (4, 20, 20) and (91, 20, 20); the seat to move when seat is None."},
    {"from_history", as_method(from_history), METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "from_history($type, /, actions)\n--\n\n"
     "A new game with the grid indices `actions` applied in order; ValueError names the first\n"
     "illegal one."},
    {"__reduce__", reduce, METH_NOARGS,
     "__reduce__($self, /)\n--\n\nPickled as its history, replayed when loaded."},
    {"render", render, METH_NOARGS,
     "render($self, /)\n--\n\n"
     "The board in seat 0's frame with ANSI colours, as PyTavlok.render prints it, returned as\n"
     "a string (41 lines, no final newline)."},
    {"board", as_method(board), METH_FASTCALL | METH_KEYWORDS,
     "board($self, /, viewer=0)\n--\n\nA tavlok.Board snapshot in seat viewer's frame."},
    {"_repr_svg_", repr_svg, METH_NOARGS,
     "_repr_svg_($self, /)\n--\n\nThe board as SVG, for notebooks."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef STATE_GETSET[] = {
    {"seat", get_seat, nullptr,
     "The seat to move, one with a legal placement; once the game is over, the seat that made "
     "the last placement.",
     nullptr},
    {"history", get_history, nullptr, "The grid indices applied so far, in order, as a tuple.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot STATE_SLOTS[] = {
    {Py_tp_new, reinterpret_cast<void*>(state_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(state_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(state_repr)},
    {Py_tp_hash, reinterpret_cast<void*>(state_hash)},
    {Py_tp_richcompare, reinterpret_cast<void*>(state_richcompare)},
    {Py_tp_methods, STATE_METHODS},
    {Py_tp_getset, STATE_GETSET},
    {Py_tp_doc, const_cast<char*>(
                    "State()\n--\n\n"
                    "A position of a game, starting from a new one: a small value that copies in\n"
                    "well under a microsecond, for tree search. Seats without a legal placement\n"
                    "are passed as soon as their turn comes. Two States are equal when the same\n"
                    "pieces lie in the same places with the same seat to move, whatever the order\n"
                    "of the moves; they pickle as their history.")},
    {0, nullptr},
};

}  // namespace

PyType_Spec STATE_SPEC = {
    // Under the package's name, where pickle finds it.
    .name = "tavlok.State", .basicsize = sizeof(StateObject),
    .itemsize = 0,          .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = STATE_SLOTS,
};

PyObject* new_state(const ModuleState& module, const game::State& state) noexcept {
    PyObject* object = module.state_type->tp_alloc(module.state_type, 0);
    if (object == nullptr) return nullptr;
    std::construct_at(&value(object), state);
    return object;
}

const game::State* state_argument(const ModuleState& module, PyObject* object,
                                  const char* parameter) noexcept {
    if (Py_TYPE(object) == module.state_type) return &value(object);
    PyErr_Format(PyExc_TypeError, "%s must be a tavlok.State, not '%.200s'", parameter,
                 Py_TYPE(object)->tp_name);
    return nullptr;
}

}  // namespace search
