// Long engine work without the interpreter lock, stopped by Ctrl-C.
//
// Only the interpreter's main thread runs Python's signal handlers, and only when it runs Python
// code or asks for them: a thread that spends seconds in the engine would leave Ctrl-C pending
// until it returns. So the thread that called into the engine takes the lock back every
// game::StopCheck::PERIOD of work and runs the handlers; when one raises (KeyboardInterrupt, or
// whatever a user's handler raises), the engine's worker pool starts no further index, and once
// the indices under way have ended the call raises that exception.
#pragma once

#include <cstddef>
#include <string>

#include "core.hpp"
#include "game/batch.hpp"

namespace core {

// Python's signal handlers as the engine's stop check; one for the whole process.
game::StopCheck& python_signals();

// Learns which thread runs the signal handlers, once per process; under the interpreter lock.
void find_main_thread();

// Raises the exception that a signal handler raised during stopped work, with `note` added to it.
[[noreturn]] void raise_interrupted(const std::string& note);

// Runs work() with the interpreter lock released; work must touch no Python object. When it was
// stopped by python_signals (game::Interrupted), raises the handler's exception with the note
// stopped(done, count): what the stop left behind, in the caller's words.
template <class Work, class Note>
void without_lock(Work&& work, Note&& stopped) {
    find_main_thread();
    std::size_t done = 0, count = 0;
    bool interrupted = false;
    {
        nb::gil_scoped_release unlocked;
        try {
            work();
        } catch (const game::Interrupted& stop) {
            interrupted = true;
            done = stop.done;
            count = stop.count;
        }
    }
    if (interrupted) raise_interrupted(stopped(done, count));
}

}  // namespace core
