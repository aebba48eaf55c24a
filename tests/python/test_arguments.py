import pytest

from _tavlok import PyTavlok
from support.drivers import Index

METHODS = [("step", "action_idx"), ("observe", "agent_idx")]


def test_argument_matching_errors(env):
    cases = [
        (PyTavlok, (1,), {}, "PyTavlok.__new__() takes 0 positional arguments but 1 was given"),
        (PyTavlok, (1, 2), {}, "PyTavlok.__new__() takes 0 positional arguments but 2 were given"),
        (PyTavlok, (), {"seed": 1}, "PyTavlok.__new__() got an unexpected keyword argument 'seed'"),
    ]
    for method, parameter in METHODS:
        name, call = f"PyTavlok.{method}()", getattr(env, method)
        cases += [
            (call, (), {}, f"{name} missing 1 required positional argument: '{parameter}'"),
            (call, (0, 0), {}, f"{name} takes 1 positional arguments but 2 were given"),
            (call, (), {"x": 0}, f"{name} got an unexpected keyword argument 'x'"),
            (call, (0,), {parameter: 0}, f"{name} got multiple values for argument '{parameter}'"),
        ]
    for call, args, kwargs, message in cases:
        with pytest.raises(TypeError) as info:
            call(*args, **kwargs)
        assert info.value.args == (message,)
    env.observe(agent_idx=0)
    env.step(action_idx=0)
    assert env.agent_selection == 1


@pytest.mark.parametrize("method, parameter", METHODS)
@pytest.mark.parametrize(
    "value, error",
    [(-1, OverflowError), (2**64, OverflowError), (Index(-1), OverflowError), (1.0, TypeError),
     ("3", TypeError), (Index(lambda: {}["own"]), KeyError)],
)
def test_unconvertible_index_carries_the_parameter_note(env, method, parameter, value, error):
    with pytest.raises(error) as info:
        getattr(env, method)(value)
    assert info.value.__notes__ == [f"while processing '{parameter}'"]


def test_conversion_edge_cases(env):
    with pytest.raises(TypeError, match="NoneType"):
        env.observe(None)  # None means "no action" to step only
    # A note that cannot be added is dropped; the conversion's error stands.
    class NoNotes(Exception):
        def add_note(self, note):
            raise RuntimeError("no notes here")

    def refuse():
        raise NoNotes("original")

    with pytest.raises(NoNotes) as info:
        env.step(Index(refuse))
    assert info.value.args == ("original",) and not hasattr(info.value, "__notes__")
    # Index 0 is the one-cell piece on the start corner; index 1, the cell beside it, never fits.
    with pytest.raises(AssertionError, match="Action index not available"):
        env.step(True)
    env.step(False)
    env.step(Index(0))
    assert env.observe(True).observation[3 * 400 + 19 * 20] == 1  # seat 0's corner, as seat 1


@pytest.mark.parametrize("method, parameter", METHODS)
def test_reentry_during_conversion_is_refused(env, method, parameter):
    mask = env.observe(0).action_mask
    with pytest.raises(RuntimeError) as info:
        getattr(env, method)(Index(lambda: env.agent_selection))  # env is taken already
    assert info.value.args == ("Already mutably borrowed",)
    assert info.value.__notes__ == [f"while processing '{parameter}'"]
    assert env.agent_selection == 0 and env.observe(0).action_mask == mask
    env.step(0)  # free again
