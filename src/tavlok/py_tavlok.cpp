// PyTavlok: the environment a training loop plays through. Each instance owns one game::Game;
// nothing is cached on the Python side.
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>

#include "protocol.hpp"

namespace tavlok {

struct PyTavlok : Object<game::Game> {
    static constexpr const char* TYPE_PATH = "tavlok_rl::PyTavlok";
};

// ---- Lifecycle --------------------------------------------------------------------------------

static const Signature NEW_SIGNATURE = {"PyTavlok.__new__()", {}};

static PyObject* tavlok_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    if (!match_arguments(NEW_SIGNATURE, args, kwargs, nullptr)) return nullptr;
    return guarded([&] {
        // The first game of the process also builds the shared action set.
        game::Game game;
        return create<PyTavlok>(type, std::move(game));
    });
}

// ---- Methods ----------------------------------------------------------------------------------

static PyObject* reset(PyObject* self, PyObject*) noexcept {
    return exclusive<PyTavlok>(self, [](game::Game& game) -> PyObject* {
        // Built aside first: if that fails, the old game stays as it was.
        game::Game fresh;
        game = std::move(fresh);
        Py_RETURN_NONE;
    });
}

static const char* const OBSERVE_PARAMETERS[] = {"agent_idx"};
static const Signature OBSERVE_SIGNATURE = {"PyTavlok.observe()", OBSERVE_PARAMETERS};

static PyObject* observe(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) noexcept {
    PyObject* agent_idx = nullptr;
    if (!match_arguments(OBSERVE_SIGNATURE, args, nargs, kwnames, &agent_idx)) return nullptr;
    return exclusive<PyTavlok>(self, [&](game::Game& game) -> PyObject* {
        const std::optional<std::uint64_t> seat = to_index(agent_idx, "agent_idx");
        if (!seat) return nullptr;
        return new_observation(game.observe(*seat));
    });
}

static const char* const STEP_PARAMETERS[] = {"action_idx"};
static const Signature STEP_SIGNATURE = {"PyTavlok.step()", STEP_PARAMETERS};

static PyObject* step(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept {
    PyObject* action_idx = nullptr;
    if (!match_arguments(STEP_SIGNATURE, args, nargs, kwnames, &action_idx)) return nullptr;
    return exclusive<PyTavlok>(self, [&](game::Game& game) -> PyObject* {
        // None is no action at all, which only passes the turn of a seat that is done.
        std::optional<std::size_t> grid_index;
        if (action_idx != Py_None) {
            const std::optional<std::uint64_t> index = to_index(action_idx, "action_idx");
            if (!index) return nullptr;
            grid_index = *index;
        }
        if (const std::optional<game::InvalidAction> refused = game.step(grid_index))
            return raise_invalid_action(*refused);
        Py_RETURN_NONE;
    });
}

// Writes all of text to file descriptor 1, past short writes and interrupted calls. It goes to
// the process's stdout rather than sys.stdout, so it does not wait in Python's buffer.
static void write_stdout(std::string_view text) {
    while (!text.empty()) {
        const ssize_t written = ::write(STDOUT_FILENO, text.data(), text.size());
        if (written < 0 && errno == EINTR) continue;
        if (written < 0)
            game::fatal("failed printing to stdout: " + std::string(std::strerror(errno)));
        if (written == 0) game::fatal("failed printing to stdout: failed to write whole buffer");
        text.remove_prefix(static_cast<std::size_t>(written));
    }
}

static PyObject* render(PyObject* self, PyObject*) noexcept {
    return shared<PyTavlok>(self, [](const game::Game& game) -> PyObject* {
        write_stdout(game.text() + "\n");
        Py_RETURN_NONE;
    });
}

// ---- Getters ----------------------------------------------------------------------------------

// A new list of `count` items, item(i) a new reference; null, with the error pending, when it or
// any item could not be made.
template <class Item>
static PyObject* list_of(std::size_t count, Item&& item) noexcept {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(count));
    for (std::size_t i = 0; list != nullptr && i < count; ++i) {
        PyObject* value = item(i);
        if (value == nullptr)
            Py_CLEAR(list);  // the slots not yet filled are empty, which a list's release skips
        else
            PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), value);
    }
    return list;
}

static PyObject* get_agents(PyObject* self, void*) noexcept {
    return shared<PyTavlok>(self, [](const game::Game& game) {
        return checked_result(list_of(game.num_agents, PyLong_FromSize_t));
    });
}

static PyObject* get_agent_selection(PyObject* self, void*) noexcept {
    return shared<PyTavlok>(self, [](const game::Game& game) {
        return checked_result(PyLong_FromSize_t(game.agent_selection));
    });
}

static PyObject* get_num_actions(PyObject* self, void*) noexcept {
    return shared<PyTavlok>(self, [](const game::Game& game) {
        return checked_result(PyLong_FromSize_t(game.action_set->num_actions()));
    });
}

static PyObject* get_action_grid_shape(PyObject* self, void*) noexcept {
    return shared<PyTavlok>(self, [](const game::Game& game) {
        return checked_result(Py_BuildValue(
            "(nnn)", static_cast<Py_ssize_t>(game.action_set->num_orientations()),
            static_cast<Py_ssize_t>(game::BOARD_SIZE), static_cast<Py_ssize_t>(game::BOARD_SIZE)));
    });
}

static PyObject* get_terminations(PyObject* self, void*) noexcept {
    return shared<PyTavlok>(self, [](const game::Game& game) {
        return checked_result(list_of(game.agents.size(), [&](std::size_t seat) {
            return PyBool_FromLong(game.agents[seat].done);
        }));
    });
}

static PyObject* get_rewards(PyObject* self, void*) noexcept {
    return shared<PyTavlok>(self, [](const game::Game& game) {
        const auto scores = game.rewards();
        return checked_result(list_of(scores.size(), [&](std::size_t seat) {
            return scores[seat] ? PyLong_FromLong(*scores[seat]) : Py_NewRef(Py_None);
        }));
    });
}

// ---- Type -------------------------------------------------------------------------------------

// Methods taking arguments are stored as PyCFunction; the detour through void (*)() is the
// documented way to say that the flags, not the pointer type, tell the interpreter how to call.
template <class F>
static PyCFunction as_method(F function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

static PyMethodDef TAVLOK_METHODS[] = {
    {"reset", reset, METH_NOARGS, "reset($self)\n--\n\n"},
    {"observe", as_method(observe), METH_FASTCALL | METH_KEYWORDS,
     "observe($self, agent_idx)\n--\n\n"},
    {"step", as_method(step), METH_FASTCALL | METH_KEYWORDS, "step($self, action_idx)\n--\n\n"},
    {"render", render, METH_NOARGS, "render($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

static PyGetSetDef TAVLOK_GETSET[] = {
    {"agents", get_agents, nullptr, nullptr, nullptr},
    {"agent_selection", get_agent_selection, nullptr, nullptr, nullptr},
    {"num_actions", get_num_actions, nullptr,
     "Size of the flattened (orientation, row, col) action grid.", nullptr},
    {"action_grid_shape", get_action_grid_shape, nullptr,
     "Shape (orientation, row, col) of the action grid, in C order.", nullptr},
    {"terminations", get_terminations, nullptr, nullptr, nullptr},
    {"rewards", get_rewards, nullptr, "The score of every agent that is done, None for the others.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

static PyType_Slot TAVLOK_SLOTS[] = {
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<PyTavlok>)},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(clear)},
    {Py_tp_new, reinterpret_cast<void*>(tavlok_new)},
    {Py_tp_doc, const_cast<char*>("PyTavlok()\n--\n\n")},
    {Py_tp_methods, TAVLOK_METHODS},
    {Py_tp_getset, TAVLOK_GETSET},
    {0, nullptr},
};

PyType_Spec TAVLOK_SPEC = {
    .name = "builtins.PyTavlok",
    .basicsize = sizeof(PyTavlok),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .slots = TAVLOK_SLOTS,
};

}  // namespace tavlok
