// Long engine work without the interpreter lock, stopped by Ctrl-C.
//
// Only the interpreter's main thread runs Python's signal handlers, and only when it runs Python
// code or asks for them: a thread that spends seconds in the engine would leave Ctrl-C pending
// until it returns. So the thread that called into the engine takes the lock back every
// game::StopCheck::PERIOD of work and runs the handlers; when one raises (KeyboardInterrupt, or
// whatever a user's handler raises), the engine's worker pool starts no further index, and once
// the indices under way have ended the call raises that exception.
#pragma once

#include <optional>

#include "core.hpp"
#include "game/worker_pool.hpp"

namespace core {

// Python's signal handlers as the engine's stop check; one for the whole process.
game::StopCheck& python_signals();

// Learns which thread runs the signal handlers, once per process; under the interpreter lock.
void find_main_thread();

// What a stopped call says in the note it adds to the exception:
// "tavlok: <call> stopped after <done> of <count> <items>; <then>".
struct StopNote {
    const char* call;
    const char* items;
    const char* then;
};

// Raises the exception that a signal handler raised during stopped work, with the note added.
[[noreturn]] void raise_interrupted(const StopNote& note, const game::Interrupted& stop);

// Runs work() with the interpreter lock released; work must touch no Python object. When it was
// stopped by python_signals (game::Interrupted), raises the handler's exception with `note`.
template <class Work>
void without_lock(Work&& work, const StopNote& note) {
    find_main_thread();
    std::optional<game::Interrupted> stopped;
    {
        nb::gil_scoped_release unlocked;
        try {
            work();
        } catch (const game::Interrupted& stop) {
            stopped = stop;
        }
    }
    if (stopped) raise_interrupted(note, *stopped);
}

}  // namespace core
