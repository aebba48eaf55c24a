// The call protocol shared by both Python classes.
//
// Every method, property and constructor of PyTavlok and PyObservation runs the same steps: match
// the arguments, check that the caller is the thread that created the object, take the contents
// for shared or exclusive use, convert the arguments, run the engine, build the result, release.
// Those steps live here, written once; each class file then says only what is its own.
//
// No C++ exception may reach the interpreter: every entry point runs its body through guarded(),
// which turns game::Panic (and any other std::exception) into PanicException.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <utility>

#include "game.hpp"

namespace tavlok {

// Index arguments are converted to 64-bit values and handed to the engine as std::size_t; the
// engine's 128-bit arithmetic already ties it to 64-bit targets.
static_assert(sizeof(std::size_t) == sizeof(std::uint64_t));

// ---- Threads ----------------------------------------------------------------------------------

// A process-unique number for the calling thread, handed out on its first call. Unlike the
// operating system's thread number it is never reused by a later thread, so an object cannot be
// mistaken for its own when its creator has exited and another thread got the same OS number.
using ThreadId = std::uint64_t;
ThreadId current_thread() noexcept;

// ---- Object layout ----------------------------------------------------------------------------

// 0: free; n: n shared uses in progress; all ones: one exclusive use in progress.
using BorrowFlag = std::atomic<std::uintptr_t>;

// Every instance: the object header, the class's own contents, the borrow flag, the owner.
// A class derives from it only to add a TYPE_PATH, the name its thread errors report.
template <class Contents>
struct Object {
    PyObject ob_base;
    Contents contents;
    BorrowFlag borrow_flag;
    ThreadId owner_thread;
};

// Allocates an instance of `type` through object's tp_new and moves `contents` into it, owned by
// the calling thread. On failure `contents` is left with the caller, who destroys it, and the
// allocation's own exception is pending.
template <class Self, class Contents>
PyObject* create(PyTypeObject* type, Contents&& contents) noexcept {
    PyObject* no_arguments = PyTuple_New(0);
    if (no_arguments == nullptr) return nullptr;
    PyObject* object = PyBaseObject_Type.tp_new(type, no_arguments, nullptr);
    Py_DECREF(no_arguments);
    if (object == nullptr) return nullptr;
    Self* self = reinterpret_cast<Self*>(object);
    std::construct_at(&self->contents, std::move(contents));
    std::construct_at(&self->borrow_flag, 0);
    self->owner_thread = current_thread();
    return object;
}

// Reports, without raising, that an object is being released on a thread that does not own it.
void report_foreign_release(const char* type_path) noexcept;

// Py_tp_dealloc of both classes. Contents are destroyed only on the owner thread; anywhere else
// they are leaked, since nothing about them may be touched there.
template <class Self>
void dealloc(PyObject* object) noexcept {
    PyObject_GC_UnTrack(object);
    Self* self = reinterpret_cast<Self*>(object);
    if (self->owner_thread == current_thread()) {
        std::destroy_at(&self->contents);
    } else {
        report_foreign_release(Self::TYPE_PATH);
    }
    PyTypeObject* type = Py_TYPE(object);
    type->tp_free(object);
    Py_DECREF(type);
}

// Py_tp_traverse and Py_tp_clear of both classes: the contents hold no Python references, so
// only the base type has anything to do.
int traverse(PyObject* self, visitproc visit, void* arg) noexcept;
int clear(PyObject* self) noexcept;

// ---- Arguments --------------------------------------------------------------------------------

// A function's parameters, all required and each accepted by position or by keyword.
struct Signature {
    const char* function;  // as errors name it, e.g. "PyTavlok.step()"
    std::span<const char* const> parameters;
};

// Binds the arguments of a METH_FASTCALL | METH_KEYWORDS call to values[0 .. parameters) as
// borrowed references; on a mismatch raises the TypeError and returns false.
bool match_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, PyObject** values) noexcept;

// The same for a call that arrives as a tuple and a dict (tp_new); kwargs may be null.
bool match_arguments(const Signature& signature, PyObject* args, PyObject* kwargs,
                     PyObject** values) noexcept;

// The unsigned 64-bit value of an index argument: ints directly, anything else through its
// __index__. On failure the interpreter's exception is pending with the note
// "while processing '<parameter>'".
std::optional<std::uint64_t> to_index(PyObject* value, const char* parameter) noexcept;

// ---- Failures ---------------------------------------------------------------------------------

// Raises PanicException(message); an exception already pending becomes its __cause__.
// Returns null so that callers can `return raise_panic(...)`.
PyObject* raise_panic(std::string_view message) noexcept;

// A call's result, a new reference; when it could not be allocated (null), reports the pending
// error as unraisable and fails the call with PanicException("PyObject pointer is null").
PyObject* checked_result(PyObject* result) noexcept;

// Raises a refused move as AssertionError("Invalid action: " + message).
PyObject* raise_invalid_action(const game::InvalidAction& refused) noexcept;

// Runs body, turning any C++ exception into PanicException carrying its text.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (const std::exception& error) {
        return raise_panic(error.what());
    } catch (...) {
        return raise_panic("unknown C++ exception");
    }
}

// ---- The call boundary ------------------------------------------------------------------------

enum class Use { Shared, Exclusive };

// On a foreign thread raises PanicException and returns false.
bool check_owner(ThreadId owner, const char* type_path) noexcept;
// On a conflicting use raises RuntimeError and returns false.
bool acquire(BorrowFlag& flag, Use use) noexcept;
void release(BorrowFlag& flag, Use use) noexcept;

template <class Self, class Body>
PyObject* call(PyObject* object, Use use, Body&& body) noexcept {
    Self* self = reinterpret_cast<Self*>(object);
    if (!check_owner(self->owner_thread, Self::TYPE_PATH)) return nullptr;
    if (!acquire(self->borrow_flag, use)) return nullptr;
    PyObject* result = guarded([&] { return body(self->contents); });
    release(self->borrow_flag, use);
    return result;
}

// Runs body(contents&) with the object taken for exclusive use: for calls that change it.
template <class Self, class Body>
PyObject* exclusive(PyObject* object, Body&& body) noexcept {
    return call<Self>(object, Use::Exclusive, std::forward<Body>(body));
}

// Runs body(const contents&) with the object taken for shared use: for calls that only read.
template <class Self, class Body>
PyObject* shared(PyObject* object, Body&& body) noexcept {
    return call<Self>(object, Use::Shared,
                      [&](const auto& contents) -> PyObject* { return body(contents); });
}

// ---- Module-wide objects (module.cpp) ----------------------------------------------------------

// Borrowed references, made on first need and kept for the life of the process; null with an
// exception pending if making them failed.
PyObject* panic_exception() noexcept;
PyObject* interned_all() noexcept;
PyObject* interned_add_note() noexcept;

// The class registry: one type object per class for the whole process.
enum class ClassId { Tavlok, Observation };
PyTypeObject* class_object(ClassId id) noexcept;

// ---- The classes (py_tavlok.cpp, py_observation.cpp) ------------------------------------------

extern PyType_Spec TAVLOK_SPEC;
extern PyType_Spec OBSERVATION_SPEC;

// A new PyObservation owning the observation's two byte arrays.
PyObject* new_observation(game::Observation&& observation) noexcept;

}  // namespace tavlok
