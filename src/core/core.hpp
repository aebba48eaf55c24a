// tavlok._core: the engine's batch of games, its positions for search, the reference bots and the
// arena, for the tavlok package, bound with nanobind. Shared between the module's files.
//
// Work that takes long (a batched step or reset, an arena) runs with the interpreter lock
// released and touches no Python object meanwhile. Python errors are raised as C++ exceptions
// that nanobind turns back into Python ones at the call boundary.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <exception>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "game/view.hpp"

namespace game {
struct BotSpec;
}

namespace core {

namespace nb = nanobind;

void bind_batch(nb::module_& module);
void bind_state(nb::module_& module);
void bind_bots(nb::module_& module);
void bind_arena(nb::module_& module);
void bind_catalogue(nb::module_& module);

// A bot's name as Python passes it, a str, in bytes as os.fsencode gives them: its UTF-8, with the
// bytes that surrogate escapes stand for (what argv holds for a path that is not UTF-8), so that a
// path in a name is the file's own bytes; a str that os.fsencode refuses, with its surrogates
// as UTF-8 writes them, so that no str fails the call's signature. Given back to Python as
// os.fsdecode gives it: a name round-trips.
struct BotName {
    std::string bytes;
};

// The engine's bot of that name (see game::bot_named); ValueError says why a name names none.
game::BotSpec engine_bot(const BotName& name);

// Raises ValueError with a message formatted as PyErr_Format formats it.
template <class... Args>
[[noreturn]] void raise_value_error(const char* format, Args... args) {
    PyErr_Format(PyExc_ValueError, format, args...);
    throw nb::python_error();
}

// A tuple of the names, for the module's attributes.
template <std::size_t N>
nb::tuple names_tuple(const std::array<std::string_view, N>& names) {
    nb::list list;
    for (const std::string_view name : names) list.append(nb::str(name.data(), name.size()));
    return nb::tuple(list);
}

// An argument that Python passes as an index (an int, a numpy integer, anything with __index__).
// It is converted in the function body by index_below, so that a value out of range raises a
// ValueError that names it rather than failing the call's signature.
struct IndexArgument {
    nb::handle value;
};

// The value of `argument` as an index when it is from `first` to `last`. Otherwise nullopt, with
// `shown` set to the value as a message shows it: in decimal while that stays readable, else by
// its size, since Python refuses to turn 4,300 digits into text. TypeError for what is not an
// index.
std::optional<std::uint64_t> index_value(IndexArgument argument, std::uint64_t first,
                                         std::uint64_t last, nb::object& shown);

// The index value of `argument` when it is below `limit`. Raises TypeError for what is not an
// index and ValueError "<what> <value> is outside 0 to <limit - 1>" otherwise; a value too long
// to print (Python refuses to turn 4,300 digits into text) is given by its size instead.
std::uint64_t index_below(IndexArgument argument, const char* what, std::uint64_t limit);

// The index value of `argument` when it is from `first` to `last`, for a parameter that counts
// something: the ValueError says "<name> must be between <first> and <last>, not <value>", with
// a `last` of 2**N - 1 (N of 32 or more) written so.
std::uint64_t count_in(IndexArgument argument, const char* name, std::uint64_t first,
                       std::uint64_t last);

// One of a few names (a legal-action layout, an autoreset mode, a reward kind), taken as any
// object so that the one check where it is read words every refusal alike, whatever was passed.
struct NameArgument {
    nb::handle value;
};

// The layout named `mask`, showing `candidates` candidates (none for None); ValueError for a
// count outside 1 to MAX_CANDIDATES, and for mask='candidates' without one.
game::ViewLayout view_layout(NameArgument mask, const std::optional<IndexArgument>& candidates);

// The most threads a call may ask for: far more than any machine has cores, and few enough that
// their stacks fit in any address space.
inline constexpr std::uint64_t MAX_THREADS = 1024;

// For requests whose size a caller chose: raises MemoryError "<request> need <size> <purpose>, more
// than this process could allocate", e.g. ("40000 envs", 1.1e9, "for their games and buffers").
[[noreturn]] void raise_too_large(const std::string& request, double bytes, const char* purpose);

// Raises RuntimeError saying that `threads` threads could not start, and why.
[[noreturn]] void raise_threads_failed(std::size_t threads, const std::exception& why);

// A new array of type Array (an nb::ndarray of the numpy framework) and the given shape, over
// memory that it owns; the caller fills it through data() before handing it out.
template <class Array>
Array new_array(std::initializer_list<std::size_t> shape) {
    using T = typename Array::Scalar;
    std::size_t size = 1;
    for (const std::size_t extent : shape) size *= extent;
    std::unique_ptr<T[]> data(new T[size]);
    nb::capsule owner(data.get(), [](void* p) noexcept { delete[] static_cast<T*>(p); });
    return Array(data.release(), shape, owner);
}

// The shape of the array of a field of the engine's table (game::FIELDS) over `rows` envs or
// games: (rows, *shape) for a field per env, one dimension for lists and their offsets.
struct ArrayShape {
    std::array<std::size_t, 4> extents{};
    std::size_t ndim = 0;
};
ArrayShape array_shape(const game::FieldSpec& field, std::size_t rows, std::size_t candidates);
// The shape of one env's entry of a field per env.
ArrayShape env_shape(const game::FieldSpec& field, std::size_t candidates);

nb::dlpack::dtype dtype_of(game::Dtype dtype);

// A numpy array of a field over `data`, which `owner` keeps alive; Extra adds nb::ro for a
// read-only view.
template <class... Extra>
nb::ndarray<nb::numpy, Extra...> field_array(const game::FieldSpec& field, void* data,
                                             const ArrayShape& shape, nb::handle owner) {
    return nb::ndarray<nb::numpy, Extra...>(data, shape.ndim, shape.extents.data(), owner,
                                            nullptr, dtype_of(field.dtype));
}

// A new numpy array of a field, over memory that it owns; the caller fills it through data().
nb::ndarray<nb::numpy> new_field_array(const game::FieldSpec& field, const ArrayShape& shape);

// An array of any dtype, read in place where it is used.
using AnyArray = nb::ndarray<nb::ro, nb::device::cpu>;

// Whether `array` holds integers that for_each_integer reads: signed or unsigned, of 8 to 64 bits.
bool holds_integers(const AnyArray& array);

// for_each_integer's reading of an array of T.
template <class T, class F>
void for_each_element(const AnyArray& array, F& f) {
    // Strides in bytes, read once: what f writes could otherwise alias them.
    const std::size_t last = array.ndim() - 1, columns = array.shape(last);
    const std::size_t rows = last == 0 ? 1 : array.shape(0);
    const auto size = static_cast<std::int64_t>(sizeof(T));
    const std::int64_t row_stride = last == 0 ? 0 : array.stride(0) * size;
    const std::int64_t stride = array.stride(last) * size;
    const auto* data = static_cast<const std::uint8_t*>(array.data());
    for (std::size_t row = 0, i = 0; row < rows; ++row)
        for (std::size_t column = 0; column < columns; ++column, ++i) {
            T value;
            std::memcpy(&value,
                        data + static_cast<std::int64_t>(row) * row_stride +
                            static_cast<std::int64_t>(column) * stride,
                        sizeof(T));
            f(i, value);
        }
}

// Calls f(i, value) for element i, in C order, of an array of one or two dimensions that
// holds_integers: value is of the array's own integer type, so that nothing is cut or wrapped
// before the caller looks at it.
template <class F>
void for_each_integer(const AnyArray& array, F&& f) {
    const bool is_signed =
        array.dtype().code == static_cast<std::uint8_t>(nb::dlpack::dtype_code::Int);
    switch (array.dtype().bits) {
        case 8:
            return is_signed ? for_each_element<std::int8_t>(array, f)
                             : for_each_element<std::uint8_t>(array, f);
        case 16:
            return is_signed ? for_each_element<std::int16_t>(array, f)
                             : for_each_element<std::uint16_t>(array, f);
        case 32:
            return is_signed ? for_each_element<std::int32_t>(array, f)
                             : for_each_element<std::uint32_t>(array, f);
        default:
            return is_signed ? for_each_element<std::int64_t>(array, f)
                             : for_each_element<std::uint64_t>(array, f);
    }
}

// Takes an object for one call, for objects whose calls release the interpreter lock: the lock
// then no longer keeps out a second thread, so a second call meanwhile is refused (RuntimeError
// naming `what`) rather than let in.
//
// The mark records the process whose call holds it: a call under way in a parent when it forked
// has no thread in the child to end it, so a call in the child takes the mark over rather than
// find the object in use for good.
class ExclusiveUse {
public:
    // 0 when free; otherwise the holder's game::fork_generation() + 1.
    using Mark = std::atomic<std::uint64_t>;

    ExclusiveUse(Mark& mark, const char* what);
    ~ExclusiveUse() { mark_.store(0, std::memory_order_release); }
    ExclusiveUse(const ExclusiveUse&) = delete;
    ExclusiveUse& operator=(const ExclusiveUse&) = delete;

private:
    Mark& mark_;
};

}  // namespace core

namespace nanobind::detail {

template <>
struct type_caster<core::BotName> {
    NB_TYPE_CASTER(core::BotName, const_name("str"))

    bool from_python(handle src, uint8_t, cleanup_list*) noexcept {
        if (!PyUnicode_Check(src.ptr())) return false;
        PyObject* bytes = PyUnicode_EncodeFSDefault(src.ptr());
        if (bytes == nullptr) {
            PyErr_Clear();
            bytes = PyUnicode_AsEncodedString(src.ptr(), "utf-8", "surrogatepass");
            if (bytes == nullptr) {
                PyErr_Clear();
                return false;
            }
        }
        value.bytes.assign(PyBytes_AS_STRING(bytes),
                           static_cast<std::size_t>(PyBytes_GET_SIZE(bytes)));
        Py_DECREF(bytes);
        return true;
    }

    static handle from_cpp(const core::BotName& name, rv_policy, cleanup_list*) noexcept {
        return PyUnicode_DecodeFSDefaultAndSize(name.bytes.data(),
                                                static_cast<Py_ssize_t>(name.bytes.size()));
    }
};

// The arguments taken as the object passed, each checked where it is read; the stub shows them as
// what they should be.
template <class Argument, auto stub_name>
struct object_argument_caster {
    NB_TYPE_CASTER(Argument, stub_name)

    bool from_python(handle src, uint32_t, cleanup_list*) noexcept {
        value.value = src;
        return true;
    }
};

template <>
struct type_caster<core::IndexArgument>
    : object_argument_caster<core::IndexArgument, const_name("typing.SupportsIndex")> {};

template <>
struct type_caster<core::NameArgument>
    : object_argument_caster<core::NameArgument, const_name("str")> {};

}  // namespace nanobind::detail
