// tavlok._core: the module, its failures and the conversions its files share.
#include <algorithm>
#include <bit>
#include <cstdio>
#include <memory>
#include <iterator>
#include <optional>
#include <string>

#include "core.hpp"
#include "game/errors.hpp"
#include "game/worker_pool.hpp"

namespace core {

std::optional<std::uint64_t> index_value(IndexArgument argument, std::uint64_t first,
                                         std::uint64_t last, nb::object& shown) {
    nb::object index = nb::steal(PyNumber_Index(argument.value.ptr()));
    if (!index.is_valid()) throw nb::python_error();
    int overflow = 0;
    const long long number = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
    if (number == -1 && PyErr_Occurred()) throw nb::python_error();
    if (overflow == 0 && number >= 0 && static_cast<unsigned long long>(number) >= first &&
        static_cast<unsigned long long>(number) <= last)
        return static_cast<std::uint64_t>(number);
    const auto bits = nb::cast<std::size_t>(index.attr("bit_length")());
    shown = bits <= 256 ? nb::steal(PyObject_Str(index.ptr()))
                        : nb::steal(PyUnicode_FromFormat("(a %snumber of %zu bits)",
                                                         overflow < 0 ? "negative " : "", bits));
    if (!shown.is_valid()) throw nb::python_error();
    return std::nullopt;
}

std::uint64_t index_below(IndexArgument argument, const char* what, std::uint64_t limit) {
    nb::object shown;
    if (const auto value = index_value(argument, 0, limit - 1, shown)) return *value;
    raise_value_error("%s %U is outside 0 to %llu", what, shown.ptr(),
                      static_cast<unsigned long long>(limit - 1));
}

std::uint64_t count_in(IndexArgument argument, const char* name, std::uint64_t first,
                       std::uint64_t last) {
    nb::object shown;
    if (const auto value = index_value(argument, first, last, shown)) return *value;
    // One below a large power of two reads as such: 2**40 - 1.
    const int bits = std::bit_width(last);
    const std::string high = bits >= 32 && std::popcount(last) == bits
                                 ? "2**" + std::to_string(bits) + " - 1"
                                 : std::to_string(last);
    raise_value_error("%s must be between %llu and %s, not %U", name,
                      static_cast<unsigned long long>(first), high.c_str(), shown.ptr());
}

bool holds_integers(const AnyArray& array) {
    const nb::dlpack::dtype type = array.dtype();
    const bool integer = type.code == static_cast<std::uint8_t>(nb::dlpack::dtype_code::Int) ||
                         type.code == static_cast<std::uint8_t>(nb::dlpack::dtype_code::UInt);
    return integer && std::has_single_bit(type.bits) && type.bits >= 8 && type.bits <= 64 &&
           type.lanes == 1;
}

ExclusiveUse::ExclusiveUse(Mark& mark, const char* what) : mark_(mark) {
    const std::uint64_t caller = game::fork_generation() + 1;
    std::uint64_t holder = 0;
    while (!mark.compare_exchange_weak(holder, caller, std::memory_order_acquire))
        if (holder == caller) nb::raise("the %s is already in use by another call", what);
}

ArrayShape env_shape(const game::FieldSpec& field, std::size_t candidates) {
    ArrayShape shape{{}, field.ndim};
    const std::array<std::size_t, 3> extents = field.shape_with(candidates);
    std::copy_n(extents.begin(), field.ndim, shape.extents.begin());
    return shape;
}

ArrayShape array_shape(const game::FieldSpec& field, std::size_t rows, std::size_t candidates) {
    if (field.rows != game::Rows::PerEnv) return {{field.array_entries(rows, candidates)}, 1};
    const ArrayShape env = env_shape(field, candidates);
    ArrayShape shape{{rows}, env.ndim + 1};
    std::copy_n(env.extents.begin(), env.ndim, shape.extents.begin() + 1);
    return shape;
}

nb::dlpack::dtype dtype_of(game::Dtype dtype) {
    static constexpr nb::dlpack::dtype BY_DTYPE[] = {
        nb::dtype<bool>(),         nb::dtype<std::int8_t>(),  nb::dtype<std::uint8_t>(),
        nb::dtype<std::int16_t>(), nb::dtype<std::int32_t>(), nb::dtype<float>()};
    static_assert(std::size(BY_DTYPE) == game::DTYPE_NAMES.size());
    return BY_DTYPE[static_cast<std::size_t>(dtype)];
}

nb::ndarray<nb::numpy> new_field_array(const game::FieldSpec& field, const ArrayShape& shape) {
    std::size_t bytes = game::dtype_size(field.dtype);
    for (std::size_t d = 0; d < shape.ndim; ++d) bytes *= shape.extents[d];
    std::unique_ptr<std::byte[]> data(new std::byte[bytes]);
    nb::capsule owner(data.get(), [](void* p) noexcept { delete[] static_cast<std::byte*>(p); });
    return field_array(field, data.release(), shape, owner);
}

void raise_too_large(const std::string& request, double bytes, const char* purpose) {
    static constexpr const char* UNITS[] = {"bytes", "kB", "MB", "GB", "TB", "PB", "EB"};
    std::size_t unit = 0;
    for (; bytes >= 1000 && unit + 1 < std::size(UNITS); ++unit) bytes /= 1000;
    // PyErr_Format has no floating-point conversion.
    char size[32];
    std::snprintf(size, sizeof size, "%.1f %s", bytes, UNITS[unit]);
    PyErr_Format(PyExc_MemoryError, "%s need %s %s, more than this process could allocate",
                 request.c_str(), size, purpose);
    throw nb::python_error();
}

void raise_threads_failed(std::size_t threads, const std::exception& why) {
    PyErr_Format(PyExc_RuntimeError, "could not start %zu threads: %s", threads, why.what());
    throw nb::python_error();
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
    core::bind_catalogue(module);
}
