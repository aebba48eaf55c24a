// tavlok._core: the module, its failures and the conversions its files share.
#include "core.hpp"
#include "game/errors.hpp"

namespace core {

std::uint64_t index_below(IndexArgument argument, const char* what, std::uint64_t limit) {
    nb::object index = nb::steal(PyNumber_Index(argument.value.ptr()));
    if (!index.is_valid()) throw nb::python_error();
    int overflow = 0;
    const long long number = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
    if (number == -1 && PyErr_Occurred()) throw nb::python_error();
    if (overflow != 0 || number < 0 || static_cast<unsigned long long>(number) >= limit)
        raise_value_error("%s %S is outside 0 to %llu", what, index.ptr(),
                          static_cast<unsigned long long>(limit - 1));
    return static_cast<std::uint64_t>(number);
}

}  // namespace core

NB_MODULE(_core, module) {
    module.doc() =
        "The engine behind tavlok.VectorEnv, tavlok.State, tavlok.bots and tavlok.arena.";
    // An internal fault of the engine (which has already written where it happened to standard
    // error). Failed allocations and the rest keep nanobind's own translation.
    nanobind::register_exception_translator([](const std::exception_ptr& failure, void*) {
        try {
            std::rethrow_exception(failure);
        } catch (const game::Panic& panic) {
            PyErr_Format(PyExc_RuntimeError, "tavlok internal error: %s", panic.what());
        }
    });
    core::bind_batch(module);
    core::bind_state(module);
    core::bind_bots(module);
    core::bind_arena(module);
}
