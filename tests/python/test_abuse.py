"""What a careless or hostile caller may do: play on many threads at once, call from foreign
threads, collect garbage in the middle of a game, delete environments under their observations,
re-enter an environment from a callback, keep snapshots for a long time."""

import copy
import gc
import itertools
import pickle
import random
import subprocess
import sys
import textwrap
import threading
import time

import pytest

from _tavlok import PyObservation, PyTavlok
from support.drivers import Index, some_legal_move

NUM_ACTIONS = 91 * 400


@pytest.fixture
def switch_often():
    """Makes the interpreter hand the lock between threads as often as it can."""
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(interval)


def play(env, seed, turns, between=None):
    """Plays turns of seeded random legal moves (passing done seats, resetting finished games)
    and returns what the caller saw: each observation (as hashes of its bytes, to keep long
    games small) and the properties after each move. between(env) runs before every turn."""
    chooser, seen = random.Random(seed), []
    for _ in range(turns):
        if between is not None:
            between(env)
        if all(env.terminations):
            seen.append(("rewards", env.rewards))
            env.reset()
        seat = env.agent_selection
        observation = env.observe(seat)
        planes, mask = observation.observation, observation.action_mask
        env.step(some_legal_move(mask, chooser))
        seen.append((hash(planes), hash(mask), env.agent_selection, env.terminations))
    return seen


def play_state(env):
    """Everything a caller can read without changing the game."""
    return (env.agent_selection, env.terminations, env.rewards)


def test_threads_playing_their_own_environments_at_once(switch_often):
    seeds = range(6)
    expected = {seed: play(PyTavlok(), seed, 300) for seed in seeds}
    results, errors, turns = {}, [], []
    start = threading.Barrier(len(seeds))

    def worker(seed):
        try:
            start.wait()
            # Giving the lock up between turns makes the threads interleave even when a loaded
            # machine would otherwise run each to its end before the next is scheduled.
            results[seed] = play(
                PyTavlok(), seed, 300, between=lambda _: (turns.append(seed), time.sleep(0))
            )
        except BaseException as error:  # noqa: BLE001 - a panic is what we look for
            errors.append(error)

    threads = [threading.Thread(target=worker, args=(seed,)) for seed in seeds]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert errors == []
    assert results == expected
    # The threads really took turns with each other, not one after another.
    assert sum(a != b for a, b in itertools.pairwise(turns)) > len(seeds)


def test_foreign_threads_hammering_an_environment_only_panic(panic_exception, switch_often):
    env = PyTavlok()
    observation = env.observe(0)
    calls = [env.reset, env.render, lambda: env.step(0), lambda: env.observe(0),
             lambda: env.terminations, lambda: env.rewards, lambda: env.agent_selection,
             lambda: observation.action_mask]
    outcomes, stop = [], threading.Event()

    def intruder():
        while not stop.is_set():
            for call in calls:
                try:
                    call()
                    outcomes.append("returned")
                except Exception as error:  # noqa: BLE001 - must not catch the panic
                    outcomes.append(f"caught as Exception: {error!r}")
                except BaseException as error:  # noqa: BLE001
                    outcomes.append(type(error))

    intruders = [threading.Thread(target=intruder) for _ in range(3)]
    for thread in intruders:
        thread.start()
    try:
        seen = play(env, 7, 200)
    finally:
        stop.set()
        for thread in intruders:
            thread.join()
    assert outcomes and set(outcomes) == {panic_exception}
    # The owner's game went on as if nobody else had been there.
    assert seen == play(PyTavlok(), 7, 200)
    assert observation.action_mask == PyTavlok().observe(0).action_mask


def test_garbage_collection_in_the_middle_of_a_game():
    turns = iter(range(10**6))

    def collect(env):
        if next(turns) % 4 == 0:
            gc.collect()
        # The contents hold no Python objects: the collector finds nothing to visit.
        assert gc.get_referents(env) == []

    assert play(PyTavlok(), 3, 200, between=collect) == play(PyTavlok(), 3, 200)


def test_observations_outlive_their_environment():
    env = PyTavlok()
    play(env, 11, 30)
    observations = [env.observe(seat) for seat in range(4)]
    expected = [(o.observation, o.action_mask) for o in observations]
    del env
    gc.collect()
    # Whatever reuses the freed memory must not show through the snapshots.
    churn = [PyTavlok() for _ in range(20)]
    for other in churn:
        play(other, 12, 10)
    assert [(o.observation, o.action_mask) for o in observations] == expected


def test_observations_kept_across_ten_thousand_moves_are_unchanged():
    env, kept, moves = PyTavlok(), [], 0
    chooser = random.Random(5)
    while moves < 10_000:
        if all(env.terminations):
            env.reset()
        seat = env.agent_selection
        observation = env.observe(seat)
        mask = observation.action_mask
        if moves % 97 == 0:
            kept.append((observation, observation.observation, mask))
        env.step(some_legal_move(mask, chooser))
        moves += 1
    assert len(kept) > 100
    for observation, planes, mask in kept:
        assert observation.observation == planes and observation.action_mask == mask


def test_callbacks_that_reenter_the_environment_are_refused_and_change_nothing():
    env = PyTavlok()
    play(env, 2, 9)
    before = play_state(env)
    reentries = {
        "reset": env.reset,
        "observe": lambda: env.observe(0),
        "step": lambda: env.step(0),
    }
    for method in ("step", "observe"):
        for name, reentry in reentries.items():
            with pytest.raises(RuntimeError) as info:
                getattr(env, method)(Index(reentry))
            assert info.value.args == ("Already borrowed",), name
            assert info.value.__notes__ == [
                f"while processing '{'action_idx' if method == 'step' else 'agent_idx'}'"]
            assert play_state(env) == before
    play(env, 2, 5)  # and free again afterwards


def test_base_exceptions_from_callbacks_pass_through_and_release():
    env = PyTavlok()

    def interrupt():
        raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt) as info:
        env.step(Index(interrupt))
    assert info.value.__notes__ == ["while processing 'action_idx'"]
    env.step(0)  # released: the environment takes its next move
    assert env.agent_selection == 1


def test_objects_cannot_be_forged_or_mistaken_for_each_other():
    """Every way to get an instance without its contents, or to run one class's code on the
    other's layout, is refused before it reaches our code."""
    env = PyTavlok()
    observation = env.observe(0)
    attempts = [
        lambda: object.__new__(PyTavlok),
        lambda: object.__new__(PyObservation),
        lambda: PyTavlok.__new__(PyObservation),
        lambda: setattr(observation, "__class__", PyTavlok),
        lambda: setattr(env, "__class__", PyObservation),
        lambda: PyTavlok.observe(observation, 0),
        lambda: PyTavlok.reset(None),
        lambda: PyTavlok.agent_selection.__get__(observation),
        lambda: PyObservation.action_mask.__get__(env),
        lambda: copy.copy(env),
        lambda: copy.deepcopy(observation),
        lambda: pickle.dumps(observation),
    ]
    for attempt in attempts:
        with pytest.raises(TypeError):
            attempt()
    env.step(observation.action_mask.index(1))
    assert env.agent_selection == 1


def test_interpreter_exit_with_objects_still_alive():
    """Objects owned by a finished thread, and one in use by a daemon thread, when the
    interpreter shuts down: the process ends normally."""
    script = textwrap.dedent("""
        import threading
        from _tavlok import PyTavlok

        kept = []
        def make():
            env = PyTavlok()
            kept.extend([env, env.observe(0)])
        thread = threading.Thread(target=make)
        thread.start()
        thread.join()

        running = threading.Event()
        def play_forever():
            env = PyTavlok()
            while True:
                running.set()
                mask = env.observe(env.agent_selection).action_mask
                env.step(max(mask.find(1), 0))  # any index passes a done seat's turn
                if all(env.terminations):
                    env.reset()
        threading.Thread(target=play_forever, daemon=True).start()
        running.wait()
        mine = PyTavlok()
        mine.step(0)
        print("done")
    """)
    finished = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                              check=False)
    assert (finished.returncode, finished.stdout) == (0, "done\n"), finished.stderr


def test_failed_interpreter_allocations_are_reported_and_release_the_object(
        panic_exception, monkeypatch):
    testcapi = pytest.importorskip("_testcapi")  # CPython's own hooks that fail allocations
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", reports.append)
    env = PyTavlok()
    env.step(0)
    observation = env.observe(0)

    def failing(call, allocation):
        """Runs call with that interpreter allocation (0: the next one) failing; returns what it
        raised, or None."""
        testcapi.set_nomemory(allocation, allocation + 1)
        try:
            try:
                call()
            finally:
                testcapi.remove_mem_hooks()
        except BaseException as error:  # noqa: BLE001 - the panic included
            return error
        return None

    results = {
        "agents": lambda: env.agents,
        "terminations": lambda: env.terminations,
        "rewards": lambda: env.rewards,
        "observation": lambda: observation.observation,
        "action_mask": lambda: observation.action_mask,
    }
    for name, call in results.items():
        reports.clear()
        error = failing(call, 0)  # the result itself is the first thing these calls allocate
        assert type(error) is panic_exception, name
        assert error.args == ("PyObject pointer is null",), name
        assert [type(r.exc_value) for r in reports] == [MemoryError], name
    # A new observation that cannot be allocated is the allocation's own error.
    assert type(failing(lambda: env.observe(1), 0)) is MemoryError

    # Wherever a failure strikes, the call ends with the object free and unchanged.
    calls = [*results.values(), lambda: env.observe(1), lambda: env.step(NUM_ACTIONS),
             lambda: env.step(-1), lambda: env.step(1.5), lambda: env.observe(4)]
    for call in calls:
        for allocation in range(12):
            failing(call, allocation)
            assert env.observe(0).action_mask == observation.action_mask
            assert (env.agent_selection, env.terminations) == (1, [False] * 4)
