#include "interrupt.hpp"

#include <atomic>
#include <cstdint>
#include <limits>

namespace core {

namespace {

// The thread that runs Python's signal handlers: the main thread, or in a forked child the thread
// that forked. Found through the threading module once per process, under the lock.
std::atomic<unsigned long> main_thread{0};
std::atomic<std::uint64_t> main_thread_found_in{std::numeric_limits<std::uint64_t>::max()};

class PythonSignals final : public game::StopCheck {
public:
    bool stop_requested() noexcept override {
        // Other threads never run the handlers: they need not wait for the lock to learn that.
        if (PyThread_get_thread_ident() != main_thread.load(std::memory_order_relaxed))
            return false;
        nb::gil_scoped_acquire locked;
        // A handler's exception stays pending in this thread's state until raise_interrupted.
        return PyErr_CheckSignals() != 0;
    }
};

}  // namespace

game::StopCheck& python_signals() {
    static PythonSignals signals;
    return signals;
}

void find_main_thread() {
    const std::uint64_t generation = game::fork_generation();
    if (main_thread_found_in.load(std::memory_order_relaxed) == generation) return;
    nb::object thread = nb::module_::import_("threading").attr("main_thread")();
    main_thread.store(nb::cast<unsigned long>(thread.attr("ident")), std::memory_order_relaxed);
    main_thread_found_in.store(generation, std::memory_order_relaxed);
}

void raise_interrupted(const StopNote& note, const game::Interrupted& stop) {
    if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
    PyObject* error = PyErr_GetRaisedException();
    PyObject* added = PyObject_CallMethod(
        error, "add_note", "N",
        PyUnicode_FromFormat("tavlok: %s stopped after %zu of %zu %s; %s", note.call, stop.done,
                             stop.count, note.items, note.then));
    // Without its note (no memory left for it) the exception still says what stopped the call.
    if (added == nullptr) PyErr_Clear();
    Py_XDECREF(added);
    PyErr_SetRaisedException(error);
    throw nb::python_error();
}

}  // namespace core
