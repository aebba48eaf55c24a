// tavlok._search: positions for tree search (State), the reference bots and the arena, for the
// tavlok package. Shared between the module file and the State type's file.
//
// A State is a plain value: it holds no Python references and no call gives up the interpreter
// lock while it works on one, so it needs neither the garbage collector nor a borrow flag. The
// arena gives up the lock while its games run; they touch no Python object. No C++ exception
// crosses into the interpreter.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <exception>
#include <new>
#include <optional>
#include <span>

#include "game/state.hpp"

namespace search {

// What the module keeps: the State type and the numpy pieces that arrays are made with.
struct ModuleState {
    PyTypeObject* state_type;
    PyObject* frombuffer;  // numpy.frombuffer
    PyObject* intp;        // numpy.dtype(numpy.intp)
    PyObject* uint8;       // numpy.dtype(numpy.uint8)
};

struct StateObject {
    PyObject ob_base;
    game::State state;
};

extern PyType_Spec STATE_SPEC;

// A new State object of the module's type holding a copy of `state`.
PyObject* new_state(const ModuleState& module, const game::State& state) noexcept;

// The State inside `object`, or null with a TypeError naming `parameter` when it is not one.
const game::State* state_argument(const ModuleState& module, PyObject* object,
                                  const char* parameter) noexcept;

// Binds the arguments of a METH_FASTCALL | METH_KEYWORDS call to `names`, by position or by
// keyword, as borrowed references; the first `required` must be given, the others stay null when
// left out. On a mismatch raises the TypeError the interpreter would and returns false.
bool bind_arguments(const char* function, std::span<const char* const> names, std::size_t required,
                    PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject** values) noexcept;

// Converts an index argument to a non-negative integer below `limit`; otherwise raises (TypeError
// for a non-integer, ValueError naming `what` and the range) and returns nothing.
std::optional<std::uint64_t> index_argument(PyObject* object, const char* what,
                                            std::uint64_t limit) noexcept;

// Raises the Python form of the C++ exception being handled: MemoryError for a failed
// allocation, RuntimeError for an internal failure of the engine.
void raise_current() noexcept;

// Runs body, turning any C++ exception into a Python one.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        raise_current();
        return nullptr;
    }
}

// Methods taking arguments are stored as PyCFunction; the detour through void (*)() is the
// documented way to say that the flags, not the pointer type, tell the interpreter how to call.
template <class F>
PyCFunction as_method(F function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

}  // namespace search
