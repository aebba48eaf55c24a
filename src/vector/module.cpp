// tavlok._vector: the batch of games (game::Batch) as one Python object, Batch, for the
// VectorEnv class of the tavlok package.
//
// A Batch owns one block of memory holding every output array of the batch and exports it,
// read-only, through the buffer protocol; tavlok.vector wraps it once in numpy arrays, which are
// then the same objects after every step. step and reset release the interpreter lock while the
// engine works, so other Python threads run meanwhile; a second call on the same Batch during
// that time is refused rather than queued. No C++ exception crosses into the interpreter.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <optional>
#include <span>

#include "game/batch.hpp"

namespace {

// ---- Where each output array lives in the block -----------------------------------------------

struct Region {
    const char* name;
    const char* dtype;  // as numpy spells it
    std::size_t offset;
    std::size_t item_bytes;  // per env
    std::size_t dims;        // after the env dimension
    std::size_t shape[3];
};

enum RegionId { PLANES, MASKS, SEATS, REWARDS, TERMINATED, PLACEMENTS, NUM_REGIONS };

// Regions start on cache-line boundaries, so the small per-env arrays do not share a line with
// the end of the masks.
constexpr std::size_t ALIGNMENT = 64;

struct Layout {
    Region regions[NUM_REGIONS];
    std::size_t size = 0;
};

Layout plan(std::size_t num_envs, game::MaskLayout mask) {
    const bool bits = mask == game::MaskLayout::Bits;
    const std::size_t mask_bytes = game::Batch::mask_bytes(mask);
    Layout layout{{
        {"observation",
         "u1",
         0,
         game::PLANE_BYTES,
         3,
         {game::NUM_AGENTS, game::BOARD_SIZE, game::BOARD_SIZE}},
        {"action_mask", bits ? "u1" : "i1", 0, mask_bytes, 1, {mask_bytes}},
        {"seat", "i1", 0, 1, 0, {}},
        {"rewards", "i2", 0, 2 * game::NUM_AGENTS, 1, {game::NUM_AGENTS}},
        {"terminated", "b1", 0, 1, 0, {}},
        {"placements", "i2", 0, 2, 0, {}},
    }};
    for (Region& region : layout.regions) {
        region.offset = layout.size;
        layout.size += (region.item_bytes * num_envs + ALIGNMENT - 1) / ALIGNMENT * ALIGNMENT;
    }
    return layout;
}

// The largest batch whose block size cannot overflow: far beyond any memory.
constexpr std::size_t MAX_ENVS = (std::size_t{1} << 40) / (64 * 1024);

struct FreeBlock {
    void operator()(std::uint8_t* block) const { std::free(block); }
};

// What a Batch object holds besides the object header.
struct Contents {
    game::Batch batch;
    Layout layout;
    std::unique_ptr<std::uint8_t, FreeBlock> block;
    game::BatchBuffers buffers;
    game::Vec<std::int64_t> actions;  // the converted actions of the current step

    // Takes memory over once the batch exists; if making the batch throws, it stays with the
    // caller.
    Contents(std::size_t num_envs, std::size_t num_threads, game::MaskLayout mask,
             std::uint64_t seed, std::unique_ptr<std::uint8_t, FreeBlock>& memory)
        : batch(num_envs, num_threads, mask, seed),
          layout(plan(num_envs, mask)),
          block(std::move(memory)),
          actions(num_envs) {
        auto at = [&](RegionId id) { return block.get() + layout.regions[id].offset; };
        buffers.planes = at(PLANES);
        buffers.masks = at(MASKS);
        buffers.seats = reinterpret_cast<std::int8_t*>(at(SEATS));
        buffers.rewards = reinterpret_cast<std::int16_t*>(at(REWARDS));
        buffers.terminated = at(TERMINATED);
        buffers.placements = reinterpret_cast<std::int16_t*>(at(PLACEMENTS));
    }
};

// ---- Failures ---------------------------------------------------------------------------------

// Raises the Python form of the exception being handled: MemoryError for a failed allocation,
// RuntimeError for an internal failure of the engine (after which the batch should be reset).
void raise_current() noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const game::Panic& panic) {
        PyErr_Format(PyExc_RuntimeError, "tavlok internal error: %s", panic.what());
    } catch (const std::exception& error) {
        PyErr_Format(PyExc_RuntimeError, "tavlok internal error: %s", error.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "tavlok internal error: unknown C++ exception");
    }
}

// Runs work with the interpreter lock released. Returns false with a Python exception set when
// work threw.
template <class Work>
bool without_lock(Work&& work) noexcept {
    std::exception_ptr failure;
    PyThreadState* thread = PyEval_SaveThread();
    try {
        work();
    } catch (...) {
        failure = std::current_exception();
    }
    PyEval_RestoreThread(thread);
    if (!failure) return true;
    try {
        std::rethrow_exception(failure);
    } catch (...) {
        raise_current();
    }
    return false;
}

// ---- Object -----------------------------------------------------------------------------------

struct BatchObject {
    PyObject ob_base;
    Contents* contents;        // null only while the constructor runs, or when it failed
    std::atomic<bool> in_use;  // a call is running, possibly without the interpreter lock
    bool closed;
};

// Takes the object for one call. The interpreter lock does not keep out a second thread here,
// since step gives it up while it works.
class Use {
public:
    explicit Use(BatchObject* self) : self_(self) {
        if (self->contents == nullptr) {
            PyErr_SetString(PyExc_RuntimeError, "the batch was not constructed");
        } else if (self->closed) {
            PyErr_SetString(PyExc_RuntimeError, "the batch is closed");
        } else if (self->in_use.exchange(true, std::memory_order_acquire)) {
            PyErr_SetString(PyExc_RuntimeError,
                            "the batch is already in use by another call (step and reset work "
                            "with the interpreter lock released)");
        } else {
            held_ = true;
        }
    }
    ~Use() {
        if (held_) self_->in_use.store(false, std::memory_order_release);
    }
    Use(const Use&) = delete;
    Use& operator=(const Use&) = delete;
    explicit operator bool() const { return held_; }

private:
    BatchObject* self_;
    bool held_ = false;
};

// A non-negative integer below 2**64; None gives nothing, and so does a failed conversion, with
// *failed set.
std::optional<std::uint64_t> to_seed(PyObject* value, bool* failed) noexcept {
    *failed = false;
    if (value == Py_None) return std::nullopt;
    PyObject* index = PyNumber_Index(value);
    if (index == nullptr) {
        *failed = true;
        return std::nullopt;
    }
    const unsigned long long seed = PyLong_AsUnsignedLongLong(index);
    Py_DECREF(index);
    if (seed == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        *failed = true;
        return std::nullopt;
    }
    return seed;
}

// ---- Lifecycle --------------------------------------------------------------------------------

PyObject* batch_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    static const char* keywords[] = {"num_envs", "num_threads", "bits", "seed", nullptr};
    Py_ssize_t num_envs = 0;
    Py_ssize_t num_threads = 0;
    int bits = 0;
    PyObject* seed_object = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "nnpO:Batch", const_cast<char**>(keywords),
                                     &num_envs, &num_threads, &bits, &seed_object))
        return nullptr;
    if (num_envs < 1 || static_cast<std::size_t>(num_envs) > MAX_ENVS) {
        PyErr_Format(PyExc_ValueError, "num_envs must be between 1 and %zu, not %zd", MAX_ENVS,
                     num_envs);
        return nullptr;
    }
    if (num_threads < 1) {
        PyErr_Format(PyExc_ValueError, "num_threads must be at least 1, not %zd", num_threads);
        return nullptr;
    }
    bool failed = false;
    const std::optional<std::uint64_t> seed = to_seed(seed_object, &failed);
    if (failed) return nullptr;
    if (!seed) {
        PyErr_SetString(PyExc_TypeError, "seed must be an int, not None");
        return nullptr;
    }

    const game::MaskLayout mask = bits ? game::MaskLayout::Bits : game::MaskLayout::Bytes;
    const std::size_t size = plan(static_cast<std::size_t>(num_envs), mask).size;
    // Zeroed once, so that the gaps between regions hold no stale bytes either.
    std::unique_ptr<std::uint8_t, FreeBlock> memory(
        static_cast<std::uint8_t*>(std::aligned_alloc(ALIGNMENT, size)));
    if (memory == nullptr) return PyErr_NoMemory();
    std::memset(memory.get(), 0, size);

    PyObject* object = type->tp_alloc(type, 0);
    if (object == nullptr) return nullptr;
    auto* self = reinterpret_cast<BatchObject*>(object);
    std::construct_at(&self->in_use, false);
    self->contents = nullptr;
    self->closed = false;

    Contents* contents = nullptr;
    const bool made = without_lock([&] {
        contents = new Contents(static_cast<std::size_t>(num_envs),
                                static_cast<std::size_t>(num_threads), mask, *seed, memory);
        contents->batch.reset(contents->buffers);
    });
    if (!made) {
        delete contents;
        Py_DECREF(object);
        return nullptr;
    }
    self->contents = contents;
    return object;
}

void batch_dealloc(PyObject* object) noexcept {
    auto* self = reinterpret_cast<BatchObject*>(object);
    // Joins the idle worker threads, which never touch the interpreter.
    delete self->contents;
    std::destroy_at(&self->in_use);
    PyTypeObject* type = Py_TYPE(object);
    type->tp_free(object);
    Py_DECREF(type);
}

// ---- Methods ----------------------------------------------------------------------------------

PyObject* batch_reset(PyObject* object, PyObject* seed_object) noexcept {
    auto* self = reinterpret_cast<BatchObject*>(object);
    bool failed = false;
    const std::optional<std::uint64_t> seed = to_seed(seed_object, &failed);
    if (failed) return nullptr;
    const Use use(self);
    if (!use) return nullptr;
    Contents& c = *self->contents;
    if (!without_lock([&] { c.batch.reset(c.buffers, seed); })) return nullptr;
    Py_RETURN_NONE;
}

// Raises the ValueError of an action the batch will not play.
PyObject* raise_refused(std::size_t env, const char* action, std::size_t seat) noexcept {
    PyErr_Format(PyExc_ValueError,
                 "illegal action %s for env %zu (seat %zu to move); no env was stepped", action,
                 env, seat);
    return nullptr;
}

// Copies an integer array of one value per env into actions, whatever its integer type, byte
// order aside. Returns false with an exception set.
bool read_actions(PyObject* source, const game::Batch& batch,
                  std::span<std::int64_t> actions) noexcept {
    Py_buffer view;
    if (PyObject_GetBuffer(source, &view, PyBUF_RECORDS_RO) < 0) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "actions must be an integer array, not '%.200s'",
                     Py_TYPE(source)->tp_name);
        return false;
    }
    bool ok = false;
    const char* format = view.format != nullptr ? view.format : "B";
    constexpr char NATIVE_ORDER = std::endian::native == std::endian::little ? '<' : '>';
    if (*format == '@' || *format == '=' || *format == NATIVE_ORDER ||
        (*format == '!' && NATIVE_ORDER == '>'))
        ++format;
    const bool is_signed = format[0] != '\0' && std::strchr("bhilqn", format[0]) != nullptr;
    const bool is_unsigned = format[0] != '\0' && std::strchr("BHILQN", format[0]) != nullptr;
    const std::size_t width = static_cast<std::size_t>(view.itemsize);
    if (view.ndim != 1 || static_cast<std::size_t>(view.shape[0]) != actions.size()) {
        PyErr_Format(PyExc_ValueError,
                     "actions must hold one grid index per env, shape (%zu,), not %d "
                     "dimension(s) of length %zd",
                     actions.size(), view.ndim, view.ndim >= 1 ? view.shape[0] : Py_ssize_t{1});
    } else if ((!is_signed && !is_unsigned) || format[1] != '\0' ||
               (width != 1 && width != 2 && width != 4 && width != 8)) {
        PyErr_Format(PyExc_TypeError, "actions must be integers, not items of format '%s'",
                     view.format != nullptr ? view.format : "B");
    } else {
        ok = true;
        for (std::size_t i = 0; i < actions.size() && ok; ++i) {
            const char* item =
                static_cast<const char*>(view.buf) + static_cast<Py_ssize_t>(i) * view.strides[0];
            std::uint64_t raw = 0;
            std::memcpy(&raw, item, width);  // the low bytes, on this little- or big-endian host
            if constexpr (std::endian::native == std::endian::big) raw >>= 64 - 8 * width;
            if (is_signed && width < 8 && ((raw >> (8 * width - 1)) & 1))
                raw |= ~std::uint64_t{0} << (8 * width);  // sign-extend
            if (is_unsigned && raw > static_cast<std::uint64_t>(INT64_MAX)) {
                char text[24];
                PyOS_snprintf(text, sizeof text, "%llu", static_cast<unsigned long long>(raw));
                raise_refused(i, text, batch.game(i).agent_selection);
                ok = false;
            }
            actions[i] = static_cast<std::int64_t>(raw);
        }
    }
    PyBuffer_Release(&view);
    return ok;
}

PyObject* batch_step(PyObject* object, PyObject* source) noexcept {
    auto* self = reinterpret_cast<BatchObject*>(object);
    const Use use(self);
    if (!use) return nullptr;
    Contents& c = *self->contents;
    if (!read_actions(source, c.batch, c.actions)) return nullptr;
    game::BatchStep result;
    if (!without_lock([&] { result = c.batch.step(c.actions, c.buffers); })) return nullptr;
    if (result.refused) {
        char text[24];
        PyOS_snprintf(text, sizeof text, "%lld", static_cast<long long>(result.refused->action));
        return raise_refused(result.refused->env, text, result.refused->seat);
    }
    return PyLong_FromSize_t(result.finished);
}

PyObject* batch_close(PyObject* object, PyObject*) noexcept {
    auto* self = reinterpret_cast<BatchObject*>(object);
    if (self->closed || self->contents == nullptr) Py_RETURN_NONE;
    const Use use(self);
    if (!use) return nullptr;
    if (!without_lock([&] { self->contents->batch.stop_threads(); })) return nullptr;
    self->closed = true;
    Py_RETURN_NONE;
}

// ---- Getters ----------------------------------------------------------------------------------

// The contents of a constructed object, or null with an exception set.
const Contents* constructed(PyObject* object) noexcept {
    const Contents* contents = reinterpret_cast<BatchObject*>(object)->contents;
    if (contents == nullptr) PyErr_SetString(PyExc_RuntimeError, "the batch was not constructed");
    return contents;
}

PyObject* get_num_envs(PyObject* object, void*) noexcept {
    const Contents* c = constructed(object);
    return c == nullptr ? nullptr : PyLong_FromSize_t(c->batch.size());
}

PyObject* get_num_threads(PyObject* object, void*) noexcept {
    const Contents* c = constructed(object);
    return c == nullptr ? nullptr : PyLong_FromSize_t(c->batch.num_threads());
}

// ((name, offset, dtype, shape), ...) of every array in the exported block.
PyObject* get_layout(PyObject* object, void*) noexcept {
    const Contents* c = constructed(object);
    if (c == nullptr) return nullptr;
    const Py_ssize_t num_envs = static_cast<Py_ssize_t>(c->batch.size());
    PyObject* entries = PyTuple_New(NUM_REGIONS);
    if (entries == nullptr) return nullptr;
    for (Py_ssize_t i = 0; i < NUM_REGIONS; ++i) {
        const Region& r = c->layout.regions[i];
        PyObject* shape = PyTuple_New(static_cast<Py_ssize_t>(r.dims) + 1);
        if (shape == nullptr) {
            Py_DECREF(entries);
            return nullptr;
        }
        for (std::size_t d = 0; d <= r.dims; ++d) {
            PyObject* extent =
                PyLong_FromSsize_t(d == 0 ? num_envs : static_cast<Py_ssize_t>(r.shape[d - 1]));
            if (extent == nullptr) {
                Py_DECREF(shape);
                Py_DECREF(entries);
                return nullptr;
            }
            PyTuple_SET_ITEM(shape, static_cast<Py_ssize_t>(d), extent);
        }
        PyObject* entry =
            Py_BuildValue("(snsO)", r.name, static_cast<Py_ssize_t>(r.offset), r.dtype, shape);
        Py_DECREF(shape);
        if (entry == nullptr) {
            Py_DECREF(entries);
            return nullptr;
        }
        PyTuple_SET_ITEM(entries, i, entry);
    }
    return entries;
}

// ---- Buffer export ----------------------------------------------------------------------------

int batch_getbuffer(PyObject* object, Py_buffer* view, int flags) noexcept {
    const Contents* c = reinterpret_cast<BatchObject*>(object)->contents;
    if (c == nullptr) {
        view->obj = nullptr;
        PyErr_SetString(PyExc_BufferError, "the batch was not constructed");
        return -1;
    }
    // Read-only: the arrays are the batch's output, rewritten by every step.
    return PyBuffer_FillInfo(view, object, c->block.get(), static_cast<Py_ssize_t>(c->layout.size),
                             1, flags);
}

// ---- Type -------------------------------------------------------------------------------------

PyMethodDef BATCH_METHODS[] = {
    {"reset", batch_reset, METH_O,
     "reset($self, seed, /)\n--\n\nStarts every game anew; an int seed reseeds every env."},
    {"step", batch_step, METH_O,
     "step($self, actions, /)\n--\n\nPlays one grid index per env; returns how many games "
     "ended."},
    {"close", batch_close, METH_NOARGS,
     "close($self, /)\n--\n\nEnds the worker threads; the batch refuses later calls."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef BATCH_GETSET[] = {
    {"num_envs", get_num_envs, nullptr, "Number of games.", nullptr},
    {"num_threads", get_num_threads, nullptr, "Threads that step the games.", nullptr},
    {"layout", get_layout, nullptr,
     "((name, offset, dtype, shape), ...): the arrays in the exported buffer.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot BATCH_SLOTS[] = {
    {Py_tp_new, reinterpret_cast<void*>(batch_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(batch_dealloc)},
    {Py_tp_methods, BATCH_METHODS},
    {Py_tp_getset, BATCH_GETSET},
    {Py_bf_getbuffer, reinterpret_cast<void*>(batch_getbuffer)},
    {Py_tp_doc,
     const_cast<char*>("Batch(num_envs, num_threads, bits, seed)\n--\n\n"
                       "num_envs games stepped together; the engine side of tavlok.VectorEnv.")},
    {0, nullptr},
};

PyType_Spec BATCH_SPEC = {
    .name = "tavlok._vector.Batch",
    .basicsize = sizeof(BatchObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = BATCH_SLOTS,
};

// ---- Module -----------------------------------------------------------------------------------

int exec_module(PyObject* module) noexcept {
    PyObject* type = PyType_FromModuleAndSpec(module, &BATCH_SPEC, nullptr);
    if (type == nullptr) return -1;
    const int added = PyModule_AddType(module, reinterpret_cast<PyTypeObject*>(type));
    Py_DECREF(type);
    if (added < 0) return -1;
    return 0;
}

PyModuleDef_Slot MODULE_SLOTS[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef MODULE = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "tavlok._vector",
    .m_doc = "The batch of games behind tavlok.VectorEnv.",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = MODULE_SLOTS,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__vector(void) { return PyModuleDef_Init(&MODULE); }
