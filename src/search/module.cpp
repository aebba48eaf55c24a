// tavlok._search: the module, the reference bots and the arena. The State type is in state.cpp.
#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

#include "game/arena.hpp"
#include "game/bots.hpp"
#include "search.hpp"

namespace search {

// ---- Shared helpers ---------------------------------------------------------------------------

void raise_current() noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        PyErr_Format(PyExc_RuntimeError, "tavlok internal error: %s", error.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "tavlok internal error: unknown C++ exception");
    }
}

bool bind_arguments(const char* function, std::span<const char* const> names, std::size_t required,
                    PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject** values) noexcept {
    std::fill(values, values + names.size(), nullptr);
    if (static_cast<std::size_t>(nargs) > names.size()) {
        PyErr_Format(PyExc_TypeError, "%s() takes at most %zu arguments (%zd given)", function,
                     names.size(), nargs);
        return false;
    }
    std::copy(args, args + nargs, values);
    const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < keywords; ++k) {
        PyObject* name = PyTuple_GET_ITEM(kwnames, k);
        std::size_t i = 0;
        while (i < names.size() && PyUnicode_CompareWithASCIIString(name, names[i]) != 0) ++i;
        if (i == names.size()) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function,
                         name);
            return false;
        }
        if (values[i] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", function,
                         names[i]);
            return false;
        }
        values[i] = args[nargs + k];
    }
    for (std::size_t i = 0; i < required; ++i) {
        if (values[i] == nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s'", function,
                         names[i]);
            return false;
        }
    }
    return true;
}

std::optional<std::uint64_t> index_argument(PyObject* object, const char* what,
                                            std::uint64_t limit) noexcept {
    PyObject* index = PyNumber_Index(object);
    if (index == nullptr) return std::nullopt;
    int overflow = 0;
    const long long number = PyLong_AsLongLongAndOverflow(index, &overflow);
    if (number == -1 && PyErr_Occurred()) {
        Py_DECREF(index);
        return std::nullopt;
    }
    if (overflow != 0 || number < 0 || static_cast<unsigned long long>(number) >= limit) {
        PyErr_Format(PyExc_ValueError, "%s %S is outside 0 to %llu", what, index,
                     static_cast<unsigned long long>(limit - 1));
        Py_DECREF(index);
        return std::nullopt;
    }
    Py_DECREF(index);
    return static_cast<std::uint64_t>(number);
}

namespace {

ModuleState& state_of(PyObject* module) {
    return *static_cast<ModuleState*>(PyModule_GetState(module));
}

// ---- Bots -------------------------------------------------------------------------------------

PyObject* raise_over() noexcept {
    PyErr_SetString(PyExc_ValueError, "the game is over: no seat has a move");
    return nullptr;
}

const char* const GREEDY_PARAMETERS[] = {"state"};

PyObject* greedy_action(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept {
    PyObject* state_object = nullptr;
    if (!bind_arguments("greedy_action", GREEDY_PARAMETERS, 1, args, nargs, kwnames, &state_object))
        return nullptr;
    const game::State* state = state_argument(state_of(module), state_object, "state");
    if (state == nullptr) return nullptr;
    return guarded([&]() -> PyObject* {
        const std::optional<std::size_t> action = game::greedy_action(*state);
        if (!action) return raise_over();
        return PyLong_FromSize_t(*action);
    });
}

const char* const RANDOM_PARAMETERS[] = {"state", "key"};

PyObject* random_action(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept {
    PyObject* values[2];
    if (!bind_arguments("random_action", RANDOM_PARAMETERS, 2, args, nargs, kwnames, values))
        return nullptr;
    const game::State* state = state_argument(state_of(module), values[0], "state");
    if (state == nullptr) return nullptr;
    PyObject* key_object = PyNumber_Index(values[1]);
    if (key_object == nullptr) return nullptr;
    const unsigned long long key = PyLong_AsUnsignedLongLong(key_object);
    Py_DECREF(key_object);
    if (key == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return nullptr;
    return guarded([&]() -> PyObject* {
        const std::optional<std::size_t> action = game::random_action(*state, key);
        if (!action) return raise_over();
        return PyLong_FromSize_t(*action);
    });
}

// ---- Arena ------------------------------------------------------------------------------------

// The four bots of an arena from a sequence of names.
std::optional<std::array<game::BotKind, game::NUM_AGENTS>> bot_kinds(PyObject* names) noexcept {
    PyObject* sequence = PySequence_Fast(names, "bots must be a sequence of four bot names");
    if (sequence == nullptr) return std::nullopt;
    std::optional<std::array<game::BotKind, game::NUM_AGENTS>> kinds;
    if (PySequence_Fast_GET_SIZE(sequence) != game::NUM_AGENTS) {
        PyErr_Format(PyExc_ValueError, "an arena needs four bots, not %zd",
                     PySequence_Fast_GET_SIZE(sequence));
        Py_DECREF(sequence);
        return std::nullopt;
    }
    kinds.emplace();
    for (std::size_t i = 0; i < game::NUM_AGENTS; ++i) {
        PyObject* name = PySequence_Fast_GET_ITEM(sequence, static_cast<Py_ssize_t>(i));
        Py_ssize_t length = 0;
        const char* text = PyUnicode_Check(name) ? PyUnicode_AsUTF8AndSize(name, &length) : nullptr;
        if (text == nullptr && !PyErr_Occurred())
            PyErr_Format(PyExc_TypeError, "a bot is named by a str, not '%.200s'",
                         Py_TYPE(name)->tp_name);
        const std::optional<game::BotKind> kind =
            text == nullptr
                ? std::nullopt
                : game::bot_named(std::string_view(text, static_cast<std::size_t>(length)));
        if (text != nullptr && !kind)
            PyErr_Format(PyExc_ValueError, "unknown bot %R: the engine plays 'greedy' and 'random'",
                         name);
        if (!kind) {
            kinds.reset();
            break;
        }
        (*kinds)[i] = *kind;
    }
    Py_DECREF(sequence);
    return kinds;
}

const char* const ARENA_PARAMETERS[] = {"bots", "seed", "first", "count", "threads"};

// (scores, seats): bytes of count x 4 int16 final scores by seat and count x 4 uint8 seats of
// each bot, for games first to first + count - 1.
PyObject* play_arena(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) noexcept {
    PyObject* values[5];
    if (!bind_arguments("play_arena", ARENA_PARAMETERS, 5, args, nargs, kwnames, values))
        return nullptr;
    const auto bots = bot_kinds(values[0]);
    if (!bots) return nullptr;
    PyObject* seed_object = PyNumber_Index(values[1]);
    if (seed_object == nullptr) return nullptr;
    const unsigned long long seed = PyLong_AsUnsignedLongLong(seed_object);
    Py_DECREF(seed_object);
    if (seed == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return nullptr;
    constexpr std::uint64_t MAX_GAMES = std::uint64_t{1} << 40;
    const auto first = index_argument(values[2], "first game", MAX_GAMES);
    if (!first) return nullptr;
    const auto count = index_argument(values[3], "game count", MAX_GAMES);
    if (!count) return nullptr;
    const auto threads = index_argument(values[4], "thread count", 1025);
    if (!threads) return nullptr;
    if (*threads == 0) {
        PyErr_SetString(PyExc_ValueError, "an arena needs at least one thread");
        return nullptr;
    }

    PyObject* scores = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(*count * 8));
    if (scores == nullptr) return nullptr;
    PyObject* seats = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(*count * 4));
    if (seats == nullptr) {
        Py_DECREF(scores);
        return nullptr;
    }
    auto* score_data = reinterpret_cast<std::int16_t*>(PyBytes_AS_STRING(scores));
    auto* seat_data = reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(seats));
    std::exception_ptr failure;
    Py_BEGIN_ALLOW_THREADS;
    try {
        game::WorkerPool pool(std::max<std::size_t>(1, std::min(*threads, *count)));
        game::play_arena(*bots, seed, *first, *count, pool, score_data, seat_data);
    } catch (...) {
        failure = std::current_exception();
    }
    Py_END_ALLOW_THREADS;
    if (failure) {
        Py_DECREF(scores);
        Py_DECREF(seats);
        try {
            std::rethrow_exception(failure);
        } catch (...) {
            raise_current();
        }
        return nullptr;
    }
    PyObject* result = PyTuple_Pack(2, scores, seats);
    Py_DECREF(scores);
    Py_DECREF(seats);
    return result;
}

// ---- Module -----------------------------------------------------------------------------------

PyMethodDef MODULE_METHODS[] = {
    {"greedy_action", as_method(greedy_action), METH_FASTCALL | METH_KEYWORDS,
     "greedy_action(state)\n--\n\n"
     "The greedy bot's move for the seat to move: largest piece first, then most own corner\n"
     "cells after the move plus opponents' corner cells covered, then lowest grid index."},
    {"random_action", as_method(random_action), METH_FASTCALL | METH_KEYWORDS,
     "random_action(state, key)\n--\n\n"
     "The legal move number floor(key * n / 2**64) of the n, ascending, for a random 64-bit\n"
     "key: uniform when the key is."},
    {"play_arena", as_method(play_arena), METH_FASTCALL | METH_KEYWORDS,
     "play_arena(bots, seed, first, count, threads)\n--\n\n"
     "Plays games first to first + count - 1 between four bots (names) with the interpreter\n"
     "lock released; returns (scores, seats): count x 4 int16 scores by seat and count x 4\n"
     "uint8 seats of each bot, as bytes."},
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject* module) noexcept {
    ModuleState& state = state_of(module);
    PyObject* numpy = PyImport_ImportModule("numpy");
    if (numpy == nullptr) return -1;
    state.frombuffer = PyObject_GetAttrString(numpy, "frombuffer");
    PyObject* dtype = PyObject_GetAttrString(numpy, "dtype");
    Py_DECREF(numpy);
    if (state.frombuffer == nullptr || dtype == nullptr) {
        Py_XDECREF(dtype);
        return -1;
    }
    state.intp = PyObject_CallFunction(dtype, "s", "intp");
    state.uint8 = PyObject_CallFunction(dtype, "s", "uint8");
    Py_DECREF(dtype);
    if (state.intp == nullptr || state.uint8 == nullptr) return -1;
    PyObject* type = PyType_FromModuleAndSpec(module, &STATE_SPEC, nullptr);
    if (type == nullptr) return -1;
    state.state_type = reinterpret_cast<PyTypeObject*>(type);
    return PyModule_AddType(module, state.state_type);
}

int traverse_module(PyObject* module, visitproc visit, void* arg) noexcept {
    ModuleState* state = static_cast<ModuleState*>(PyModule_GetState(module));
    if (state == nullptr) return 0;
    Py_VISIT(state->state_type);
    Py_VISIT(state->frombuffer);
    Py_VISIT(state->intp);
    Py_VISIT(state->uint8);
    return 0;
}

int clear_module(PyObject* module) noexcept {
    ModuleState* state = static_cast<ModuleState*>(PyModule_GetState(module));
    if (state == nullptr) return 0;
    Py_CLEAR(state->state_type);
    Py_CLEAR(state->frombuffer);
    Py_CLEAR(state->intp);
    Py_CLEAR(state->uint8);
    return 0;
}

void free_module(void* module) noexcept { clear_module(static_cast<PyObject*>(module)); }

PyModuleDef_Slot MODULE_SLOTS[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef MODULE = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "tavlok._search",
    .m_doc =
        "Positions for tree search, the reference bots and the arena behind tavlok.State, "
        "tavlok.bots and tavlok.arena.",
    .m_size = sizeof(ModuleState),
    .m_methods = MODULE_METHODS,
    .m_slots = MODULE_SLOTS,
    .m_traverse = traverse_module,
    .m_clear = clear_module,
    .m_free = free_module,
};

}  // namespace

}  // namespace search

PyMODINIT_FUNC PyInit__search(void) { return PyModuleDef_Init(&search::MODULE); }
