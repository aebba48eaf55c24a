import ctypes
import gc
import importlib.util
import weakref

import pytest

import _tavlok
from _tavlok import PyObservation, PyTavlok


def test_module_exposes_only_its_two_classes():
    assert (_tavlok.__all__, _tavlok.__doc__) == (["PyTavlok", "PyObservation"], "")
    assert [name for name in dir(_tavlok) if not name.startswith("_")] == sorted(_tavlok.__all__)
    for cls in [PyTavlok, PyObservation]:
        assert (cls.__module__, cls.__qualname__) == ("builtins", cls.__name__)
    assert PyTavlok.__text_signature__ == "()"
    assert PyTavlok.observe.__text_signature__ == "($self, agent_idx)"
    assert (PyTavlok.step.__text_signature__, PyTavlok.step.__doc__) == ("($self, action_idx)", None)


def test_classes_and_instances_are_closed(env):
    observation = env.observe(0)
    for cls, obj in [(PyTavlok, env), (PyObservation, observation)]:
        with pytest.raises(TypeError):
            type("Derived", (cls,), {})
        with pytest.raises(AttributeError):
            obj.anything = 1
        with pytest.raises(TypeError):
            weakref.ref(obj)
        assert gc.is_tracked(obj)
    with pytest.raises(TypeError):
        PyObservation()
    with pytest.raises(AttributeError):
        env.rewards = []


def test_panic_exception_is_private_and_not_an_exception(panic_exception):
    assert issubclass(panic_exception, BaseException)
    assert not issubclass(panic_exception, Exception)
    assert not hasattr(_tavlok, panic_exception.__name__)


def exec_again(module):
    """Runs the execution step once more on an existing module object."""
    api = ctypes.pythonapi
    api.PyModule_GetDef.restype = ctypes.c_void_p
    api.PyModule_GetDef.argtypes = [ctypes.py_object]
    api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
    api.PyModule_ExecDef(module, api.PyModule_GetDef(module))


def test_execution_step_on_new_and_existing_module_objects():
    spec = importlib.util.find_spec("_tavlok")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    assert module is not _tavlok and module.__all__ == ["PyTavlok", "PyObservation"]
    assert (module.PyTavlok, module.PyObservation) == (PyTavlok, PyObservation)

    exec_again(module)
    assert module.__all__ == ["PyTavlok", "PyObservation"] * 2 and module.PyTavlok is PyTavlok
    module.__all__ = ("PyTavlok",)
    with pytest.raises(TypeError, match="tuple"):
        exec_again(module)
    del module.__all__
    exec_again(module)
    assert module.__all__ == ["PyTavlok", "PyObservation"]
