#include "protocol.hpp"

#include <new>
#include <string>

namespace tavlok {

// ---- Threads ----------------------------------------------------------------------------------

ThreadId current_thread() noexcept {
    static std::atomic<ThreadId> next{1};
    thread_local const ThreadId id = next.fetch_add(1, std::memory_order_relaxed);
    return id;
}

// ---- Object lifecycle -------------------------------------------------------------------------

void report_foreign_release(const char* type_path) noexcept {
    // Deallocation can happen while an exception is propagating; keep it intact.
    PyObject* pending = PyErr_GetRaisedException();
    PyErr_Format(PyExc_RuntimeError, "%s is unsendable, but is being dropped on another thread",
                 type_path);
    PyErr_WriteUnraisable(nullptr);
    PyErr_SetRaisedException(pending);
}

// Instances of our heap types would normally visit their type here. The classes live in the
// process-wide registry and are never collected, so the base type's traverse (none, for object)
// is all there is to do.
int traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    const traverseproc base = PyBaseObject_Type.tp_traverse;
    if (base == nullptr) return 0;
    return base(self, visit, arg);
}

int clear(PyObject* self) noexcept {
    const inquiry base = PyBaseObject_Type.tp_clear;
    if (base == nullptr) return 0;
    return base(self) < 0 ? -1 : 0;
}

// ---- Arguments --------------------------------------------------------------------------------

// Binds the `nargs` positional arguments, refusing more than the function has; the others unset.
static bool bind_positional(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                            PyObject** values) noexcept {
    const std::size_t count = signature.parameters.size();
    if (static_cast<std::size_t>(nargs) > count) {
        PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zd %s given",
                     signature.function, count, nargs, nargs == 1 ? "was" : "were");
        return false;
    }
    for (std::size_t i = 0; i < count; ++i)
        values[i] = i < static_cast<std::size_t>(nargs) ? args[i] : nullptr;
    return true;
}

// Binds one keyword argument, refusing names the function does not have and parameters that
// were already given by position.
static bool bind_keyword(const Signature& signature, PyObject* name, PyObject* value,
                         PyObject** values) noexcept {
    for (std::size_t i = 0; i < signature.parameters.size(); ++i) {
        const char* parameter = signature.parameters[i];
        if (!PyUnicode_Check(name) || PyUnicode_CompareWithASCIIString(name, parameter) != 0)
            continue;
        if (values[i] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'",
                         signature.function, parameter);
            return false;
        }
        values[i] = value;
        return true;
    }
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", signature.function,
                 name);
    return false;
}

// Lists the parameters left without a value the way the interpreter does: 'a', 'a' and 'b',
// 'a', 'b', and 'c'.
static bool check_missing(const Signature& signature, PyObject* const* values) noexcept {
    try {
        std::size_t missing = 0;
        for (std::size_t i = 0; i < signature.parameters.size(); ++i)
            missing += values[i] == nullptr ? 1 : 0;
        if (missing == 0) return true;

        std::string names;
        std::size_t listed = 0;
        for (std::size_t i = 0; i < signature.parameters.size(); ++i) {
            if (values[i] != nullptr) continue;
            if (listed != 0) names += missing == 2 ? " " : ", ";
            if (listed != 0 && listed + 1 == missing) names += "and ";
            names += "'";
            names += signature.parameters[i];
            names += "'";
            ++listed;
        }
        PyErr_Format(PyExc_TypeError, "%s missing %zu required positional %s: %s",
                     signature.function, missing, missing == 1 ? "argument" : "arguments",
                     names.c_str());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    }
    return false;
}

bool match_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, PyObject** values) noexcept {
    if (!bind_positional(signature, args, nargs, values)) return false;
    // Keyword values follow the positional ones in args, in the order of kwnames.
    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        if (!bind_keyword(signature, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], values))
            return false;
    }
    return check_missing(signature, values);
}

bool match_arguments(const Signature& signature, PyObject* args, PyObject* kwargs,
                     PyObject** values) noexcept {
    if (!bind_positional(signature, &PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args), values))
        return false;
    if (kwargs != nullptr) {
        Py_ssize_t position = 0;
        PyObject* name = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &position, &name, &value)) {
            if (!bind_keyword(signature, name, value, values)) return false;
        }
    }
    return check_missing(signature, values);
}

// Adds "while processing '<parameter>'" to the pending exception. The note only helps the
// reader: if adding it fails, that failure is dropped and the original exception stands.
static void add_parameter_note(const char* parameter) noexcept {
    PyObject* error = PyErr_GetRaisedException();
    PyObject* note = PyUnicode_FromFormat("while processing '%s'", parameter);
    PyObject* add_note = note == nullptr ? nullptr : interned_add_note();
    PyObject* added =
        add_note == nullptr ? nullptr : PyObject_CallMethodOneArg(error, add_note, note);
    if (added == nullptr) PyErr_Clear();
    Py_XDECREF(added);
    Py_XDECREF(note);
    PyErr_SetRaisedException(error);
}

std::optional<std::uint64_t> to_index(PyObject* value, const char* parameter) noexcept {
    unsigned long long result = 0;
    if (PyLong_Check(value)) {
        result = PyLong_AsUnsignedLongLong(value);
    } else {
        PyObject* index = PyNumber_Index(value);
        if (index == nullptr) {
            add_parameter_note(parameter);
            return std::nullopt;
        }
        result = PyLong_AsUnsignedLongLong(index);
        Py_DECREF(index);
    }
    if (result == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        add_parameter_note(parameter);
        return std::nullopt;
    }
    return result;
}

// ---- Failures ---------------------------------------------------------------------------------

PyObject* raise_panic(std::string_view message) noexcept {
    // Taken out first so that no exception is pending while the class may be created.
    PyObject* cause = PyErr_GetRaisedException();
    PyObject* type = panic_exception();
    PyObject* text = nullptr;
    if (type == nullptr) goto done;  // the failure to create the class is what the caller sees
    text = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
    if (text == nullptr) goto done;
    PyErr_SetObject(type, text);
    if (cause != nullptr) {
        PyObject* panic = PyErr_GetRaisedException();
        PyException_SetCause(panic, cause);  // steals cause
        cause = nullptr;
        PyErr_SetRaisedException(panic);
    }
done:
    Py_XDECREF(text);
    Py_XDECREF(cause);
    return nullptr;
}

PyObject* checked_result(PyObject* result) noexcept {
    if (result != nullptr) return result;
    PyErr_WriteUnraisable(nullptr);
    return raise_panic("PyObject pointer is null");
}

PyObject* raise_invalid_action(const game::InvalidAction& refused) noexcept {
    return guarded([&]() -> PyObject* {
        const std::string message = refused.to_string();
        PyErr_SetString(PyExc_AssertionError, message.c_str());
        return nullptr;
    });
}

// ---- The call boundary ------------------------------------------------------------------------

static constexpr std::uintptr_t EXCLUSIVE = ~std::uintptr_t{0};

bool check_owner(ThreadId owner, const char* type_path) noexcept {
    const ThreadId caller = current_thread();
    if (caller == owner) return true;
    PyObject* type = panic_exception();
    if (type == nullptr) return false;
    PyErr_Format(type,
                 "assertion `left == right` failed: %s is unsendable, but sent to another "
                 "thread\n  left: ThreadId(%llu)\n right: ThreadId(%llu)",
                 type_path, static_cast<unsigned long long>(caller),
                 static_cast<unsigned long long>(owner));
    return false;
}

bool acquire(BorrowFlag& flag, Use use) noexcept {
    if (use == Use::Exclusive) {
        std::uintptr_t expected = 0;
        if (flag.compare_exchange_strong(expected, EXCLUSIVE, std::memory_order_acquire,
                                         std::memory_order_relaxed))
            return true;
        PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
        return false;
    }
    // Each shared use is a call in progress on this thread's stack, so the count cannot climb
    // anywhere near all ones.
    std::uintptr_t current = flag.load(std::memory_order_relaxed);
    do {
        if (current == EXCLUSIVE) {
            PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
            return false;
        }
    } while (!flag.compare_exchange_weak(current, current + 1, std::memory_order_acquire,
                                         std::memory_order_relaxed));
    return true;
}

void release(BorrowFlag& flag, Use use) noexcept {
    if (use == Use::Exclusive) {
        flag.store(0, std::memory_order_release);
    } else {
        flag.fetch_sub(1, std::memory_order_release);
    }
}

}  // namespace tavlok
