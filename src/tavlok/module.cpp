// The _tavlok extension module: its definition and execution step, the process-wide class
// registry, PanicException and the interned attribute names.
//
// The module's whole public surface is PyTavlok, PyObservation and the __all__ list naming them.
#include <mutex>

#include "protocol.hpp"

namespace tavlok {

// ---- Process-wide objects ---------------------------------------------------------------------

// A Python object made once per process on first need and kept until the process ends.
//
// The maker runs with the interpreter lock held and may give it up inside the interpreter, so a
// second thread must not wait for the maker while holding the lock: it takes the mutex with the
// lock released, and takes the lock back before looking at the value.
class ProcessOnce {
public:
    template <class Make>
    PyObject* get(Make make) noexcept {
        if (PyObject* value = value_.load(std::memory_order_acquire)) return value;
        PyThreadState* thread = PyEval_SaveThread();
        mutex_.lock();
        PyEval_RestoreThread(thread);
        PyObject* value = value_.load(std::memory_order_relaxed);
        if (value == nullptr) {
            value = make();
            if (value != nullptr) value_.store(value, std::memory_order_release);
        }
        mutex_.unlock();
        return value;
    }

private:
    std::atomic<PyObject*> value_{nullptr};
    std::mutex mutex_;
};

static ProcessOnce PANIC_EXCEPTION;
static ProcessOnce ALL_NAME;
static ProcessOnce ADD_NOTE_NAME;

static constexpr const char* PANIC_DOC =
    "Raised when the native code of _tavlok fails an internal check.\n"
    "\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so that a handler "
    "for Exception does not swallow it: it normally propagates all the way up and ends the "
    "interpreter.";

PyObject* panic_exception() noexcept {
    return PANIC_EXCEPTION.get([] {
        return PyErr_NewExceptionWithDoc("_tavlok.PanicException", PANIC_DOC, PyExc_BaseException,
                                         nullptr);
    });
}

PyObject* interned_all() noexcept {
    return ALL_NAME.get([] { return PyUnicode_InternFromString("__all__"); });
}

PyObject* interned_add_note() noexcept {
    return ADD_NOTE_NAME.get([] { return PyUnicode_InternFromString("add_note"); });
}

// ---- Class registry ---------------------------------------------------------------------------

// Filled by the first module execution or the first object creation, whichever comes first; later
// module objects get the same type objects.
struct ClassCell {
    PyType_Spec* spec;
    std::atomic<PyObject*> type{nullptr};
};

static ClassCell CLASSES[] = {
    {&TAVLOK_SPEC},
    {&OBSERVATION_SPEC},
};

PyTypeObject* class_object(ClassId id) noexcept {
    ClassCell& cell = CLASSES[static_cast<std::size_t>(id)];
    if (PyObject* type = cell.type.load(std::memory_order_acquire))
        return reinterpret_cast<PyTypeObject*>(type);
    PyObject* made = PyType_FromSpec(cell.spec);
    if (made == nullptr) return nullptr;
    // Making the type can give up the interpreter lock; if another thread filled the cell in the
    // meantime, its type is the one everybody already holds.
    PyObject* stored = nullptr;
    if (!cell.type.compare_exchange_strong(stored, made, std::memory_order_acq_rel,
                                           std::memory_order_acquire)) {
        Py_DECREF(made);
        return reinterpret_cast<PyTypeObject*>(stored);
    }
    return reinterpret_cast<PyTypeObject*>(made);
}

// ---- Module execution -------------------------------------------------------------------------

// The module's __all__ as a new reference, created as an empty list when it is missing.
static PyObject* module_all(PyObject* module) {
    PyObject* name = interned_all();
    if (name == nullptr) return nullptr;
    PyObject* all = PyObject_GetAttr(module, name);
    if (all == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
        PyErr_Clear();
        all = PyList_New(0);
        if (all == nullptr) return nullptr;
        if (PyObject_SetAttr(module, name, all) < 0) {
            Py_DECREF(all);
            return nullptr;
        }
        return all;
    }
    if (!PyList_Check(all)) {
        PyErr_Format(PyExc_TypeError, "__all__ must be a 'list', not '%.200s'",
                     Py_TYPE(all)->tp_name);
        Py_DECREF(all);
        return nullptr;
    }
    return all;
}

// Lists the class in __all__ and binds it as a module attribute.
static int add_class(PyObject* module, ClassId id, const char* class_name) {
    int status = -1;
    PyObject* name = nullptr;
    PyObject* all = nullptr;

    PyTypeObject* type = class_object(id);
    if (type == nullptr) return -1;
    name = PyUnicode_FromString(class_name);
    if (name == nullptr) return -1;
    all = module_all(module);
    if (all == nullptr) goto done;
    if (PyList_Append(all, name) < 0) {
        raise_panic("could not append __name__ to __all__");
        goto done;
    }
    if (PyObject_SetAttr(module, name, reinterpret_cast<PyObject*>(type)) < 0) goto done;
    status = 0;
done:
    Py_XDECREF(all);
    Py_DECREF(name);
    return status;
}

static int exec_module(PyObject* module) noexcept {
    if (!PyModule_Check(module)) {
        PyErr_Format(PyExc_TypeError, "expected a 'module', got '%.200s'",
                     Py_TYPE(module)->tp_name);
        return -1;
    }
    if (add_class(module, ClassId::Tavlok, "PyTavlok") < 0) return -1;
    if (add_class(module, ClassId::Observation, "PyObservation") < 0) return -1;
    return 0;
}

// ---- Module definition ------------------------------------------------------------------------

static PyModuleDef_Slot MODULE_SLOTS[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

static PyModuleDef MODULE = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_tavlok",
    .m_doc = "",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = MODULE_SLOTS,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace tavlok

PyMODINIT_FUNC PyInit__tavlok(void) { return PyModuleDef_Init(&tavlok::MODULE); }
