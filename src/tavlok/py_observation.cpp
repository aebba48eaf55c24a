// PyObservation: a read-only snapshot of one seat's view, as handed out by PyTavlok.observe.
//
// It owns copies of the planes and the grid-form mask and refers to nothing else, so later moves
// and resets of the environment leave it unchanged. Python code cannot create one.
#include "protocol.hpp"

namespace tavlok {

struct PyObservation : Object<game::Observation> {
    static constexpr const char* TYPE_PATH = "tavlok_rl::PyObservation";
};

// ---- Lifecycle --------------------------------------------------------------------------------

PyObject* new_observation(game::Observation&& observation) noexcept {
    PyTypeObject* type = class_object(ClassId::Observation);
    if (type == nullptr)
        return raise_panic("An error occurred while initializing class PyObservation");
    return create<PyObservation>(type, std::move(observation));
}

// ---- Getters ----------------------------------------------------------------------------------

// A fresh bytes copy on every read: callers wrap it with numpy.frombuffer without converting.
static PyObject* bytes_of(const game::Bytes& bytes) noexcept {
    return checked_result(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                                    static_cast<Py_ssize_t>(bytes.size())));
}

static PyObject* get_observation(PyObject* self, void*) noexcept {
    return shared<PyObservation>(
        self, [](const game::Observation& seen) { return bytes_of(seen.observation); });
}

static PyObject* get_action_mask(PyObject* self, void*) noexcept {
    return shared<PyObservation>(
        self, [](const game::Observation& seen) { return bytes_of(seen.action_mask); });
}

// ---- Type -------------------------------------------------------------------------------------

static PyGetSetDef OBSERVATION_GETSET[] = {
    {"observation", get_observation, nullptr,
     "The boards in (agent, row, col) order as bytes of 0/1, cheap to wrap with "
     "`numpy.frombuffer`.",
     nullptr},
    {"action_mask", get_action_mask, nullptr,
     "The action mask as bytes of 0/1, cheap to wrap with `numpy.frombuffer`.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

static PyType_Slot OBSERVATION_SLOTS[] = {
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<PyObservation>)},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(clear)},
    {Py_tp_getset, OBSERVATION_GETSET},
    {0, nullptr},
};

PyType_Spec OBSERVATION_SPEC = {
    .name = "builtins.PyObservation",
    .basicsize = sizeof(PyObservation),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = OBSERVATION_SLOTS,
};

}  // namespace tavlok
