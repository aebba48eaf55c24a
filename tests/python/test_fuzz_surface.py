"""Random interleavings of every call of the Python surface, on two environments at once, each
checked against the suites' naive model of the rules (support.rules).

After every call the outcome (its value, or the exact exception with its message or note) and
everything the properties show must agree with the model; a refused call must leave both
environments exactly as they were.

The suite runs a fixed, derandomized few hundred examples. A long random run, which keeps the
failures it finds in Hypothesis's example database for the next run:

    TAVLOK_FUZZ_EXAMPLES=20000 python -m pytest tests/python/test_fuzz_surface.py
"""

import json
import operator
import os
from typing import NamedTuple

import numpy as np
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, rule

import tavlok
from _tavlok import PyTavlok
from support.drivers import Index, printed_by
from support.processes import run_limited, skip_under_address_sanitizer
from tavlok import Board, State, VectorEnv, arena
from tavlok.gym_env import TavlokGymEnv
from tavlok.gym_vector import LearnerVectorEnv
from support.rules import BY_GRID, NUM_ACTIONS, PIECE_CELLS, SEATS, SIZE, Model

# ---- Arguments ----------------------------------------------------------------------------------


class StrictInt(int):
    """An int subclass, converted as the int it is: its __index__ must not be asked."""

    def __index__(self):
        raise AssertionError("the __index__ of an int subclass was consulted")

    def __repr__(self):
        return f"StrictInt({int(self)})"


class Fails(NamedTuple):
    """Converting the argument raises this exception type, with these args when they are ours."""

    kind: type
    args: tuple | None = None


class Reads:
    """A zero-argument function that reads a property of an environment."""

    def __init__(self, env, name):
        self.env, self.name = env, name

    def __call__(self):
        return getattr(self.env, self.name)

    def __repr__(self):
        return f"Reads(<env {id(self.env):#x}>, {self.name!r})"


def raising():
    raise LookupError("from __index__")


def index_arguments(values):
    """(argument, what converting it gives) pairs for an index parameter, around values."""
    fits = st.one_of(values, st.sampled_from([2**64 - 1, 2**63, 2**32, NUM_ACTIONS]))
    too_big = st.one_of(st.sampled_from([2**64, 2**70]), st.integers(min_value=2**64))
    negative = st.integers(max_value=-1)
    return st.one_of(
        fits.map(lambda v: (v, v)),
        fits.map(lambda v: (Index(v), v)),
        fits.map(lambda v: (StrictInt(v), v)),
        st.booleans().map(lambda b: (b, int(b))),
        negative.map(lambda v: (v, Fails(OverflowError))),
        negative.map(lambda v: (Index(v), Fails(OverflowError))),
        too_big.map(lambda v: (v, Fails(OverflowError))),
        too_big.map(lambda v: (Index(v), Fails(OverflowError))),
        st.floats().map(lambda v: (v, Fails(TypeError))),
        st.sampled_from(["3", b"\x03", [3], 3j]).map(lambda v: (v, Fails(TypeError))),
        st.just((Index(1.0), Fails(TypeError))),
        st.just((Index(raising), Fails(LookupError, ("from __index__",)))),
    )


SEAT_ARGUMENTS = index_arguments(st.integers(0, SEATS)) | st.just((None, Fails(TypeError)))
WHICH = st.integers(0, 1)


def outcome(function):
    try:
        return function(), None
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as error:  # noqa: BLE001 - PanicException is a BaseException
        return None, error


def panic_class():
    try:
        PyTavlok().observe(4)
    except BaseException as error:  # noqa: BLE001
        return type(error)
    raise AssertionError("observe(4) did not fail")


PANIC = panic_class()


def assert_same_bytes(label, actual, expected):
    """Fails with where two byte strings differ, rather than with both of them whole."""
    if actual == expected:
        return
    if len(actual) != len(expected):
        raise AssertionError(f"{label}: {len(actual)} bytes, expected {len(expected)}")
    wrong = [i for i, (a, b) in enumerate(zip(actual, expected, strict=True)) if a != b]
    raise AssertionError(f"{label}: {len(wrong)} bytes differ, first at {wrong[:8]}")


def fuzz_settings():
    examples = os.environ.get("TAVLOK_FUZZ_EXAMPLES")
    if examples:
        return settings(max_examples=int(examples), stateful_step_count=50, deadline=None,
                        suppress_health_check=[HealthCheck.too_slow])
    # Hypothesis's own CI profile: derandomized, so every run of the suite replays the same
    # examples in the same time, and without an example database.
    return settings(settings.get_profile("ci"), max_examples=200, stateful_step_count=50)


# ---- The machine --------------------------------------------------------------------------------


class Surface(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.envs = [PyTavlok(), PyTavlok()]
        self.models = [Model(), Model()]
        self.kept = []  # (observation, planes, mask): snapshots that must never change

    # -- checked calls --

    def conversion_failed(self, error, expected, parameter):
        event(f"{parameter}: {expected.kind.__name__}")
        assert type(error) is expected.kind, repr(error)
        assert error.__notes__ == [f"while processing '{parameter}'"]
        if expected.args is not None:
            assert error.args == expected.args

    def checked_observe(self, which, argument, expected, by_keyword=False):
        env, model = self.envs[which], self.models[which]
        if by_keyword:
            result, error = outcome(lambda: env.observe(agent_idx=argument))
        else:
            result, error = outcome(lambda: env.observe(argument))
        if isinstance(expected, Fails):
            self.conversion_failed(error, expected, "agent_idx")
            return
        if expected >= SEATS:
            # An internal failure, outside the Exception hierarchy; nothing changes.
            event("observe: panic")
            assert type(error) is PANIC and not isinstance(error, Exception), repr(error)
            return
        assert error is None, repr(error)
        planes, mask = model.observe(expected)
        assert_same_bytes("planes", result.observation, planes)
        assert_same_bytes("mask", result.action_mask, mask)
        if len(self.kept) < 6:
            self.kept.append((result, planes, mask))

    def checked_step(self, which, argument, expected, by_keyword=False):
        env, model = self.envs[which], self.models[which]
        if by_keyword:
            result, error = outcome(lambda: env.step(action_idx=argument))
        else:
            result, error = outcome(lambda: env.step(argument))
        if isinstance(expected, Fails):
            # Conversion comes first: even a done seat's turn is not passed.
            self.conversion_failed(error, expected, "action_idx")
            return
        passing = model.done[model.selection]
        refusal = model.step(expected)
        event(f"step: {refusal or ('passed' if passing else 'placed')}")
        if all(model.done):
            event("step: every seat done")
        if refusal is None:
            assert (result, error) == (None, None), repr(error)
        else:
            assert type(error) is AssertionError and error.args == (refusal,), repr(error)

    def reentrant(self, which, data):
        """An argument whose __index__ reads a property: of the same environment, which is in
        use and refuses, or of the other one, which answers."""
        other = 1 - which
        if data.draw(st.booleans(), label="same environment"):
            return (Index(Reads(self.envs[which], "agent_selection")),
                    Fails(RuntimeError, ("Already mutably borrowed",)))
        return Index(Reads(self.envs[other], "agent_selection")), self.models[other].selection

    # -- rules --

    @rule(which=WHICH)
    def reset(self, which):
        assert self.envs[which].reset() is None
        self.models[which] = Model()

    @rule(which=WHICH, seat=SEAT_ARGUMENTS, by_keyword=st.booleans())
    def observe(self, which, seat, by_keyword):
        self.checked_observe(which, *seat, by_keyword=by_keyword)

    @rule(which=WHICH, data=st.data())
    def observe_reentrant(self, which, data):
        self.checked_observe(which, *self.reentrant(which, data))

    @rule(which=WHICH, data=st.data(), by_keyword=st.booleans())
    def step_known_move(self, which, data, by_keyword):
        """A move of the seat's last known mask: legal when that is current, stale otherwise."""
        model = self.models[which]
        grid = data.draw(st.sampled_from(sorted(model.mask[model.selection]) or [0]), label="move")
        argument = data.draw(st.sampled_from([grid, Index(grid), StrictInt(grid)]), label="as")
        self.checked_step(which, argument, grid, by_keyword=by_keyword)

    @rule(which=WHICH, data=st.data(), by_keyword=st.booleans())
    def step_anything(self, which, data, by_keyword):
        argument = data.draw(
            index_arguments(st.integers(0, NUM_ACTIONS + 400)) | st.just((None, None)),
            label="argument")
        self.checked_step(which, *argument, by_keyword=by_keyword)

    @rule(which=WHICH, data=st.data())
    def step_reentrant(self, which, data):
        self.checked_step(which, *self.reentrant(which, data))

    @rule(which=WHICH, turns=st.integers(1, 100), policy=st.sampled_from(["any", "big", "small"]),
          random=st.randoms(use_true_random=False))
    def play(self, which, turns, policy, random):
        """Plays turns the way a training loop does, to reach the middle and the end of games."""
        model = self.models[which]
        for _ in range(turns):
            if all(model.done):
                break
            seat = model.selection
            if model.done[seat]:
                passing = random.choice([None, 0, 2**64 - 1, NUM_ACTIONS])
                self.checked_step(which, passing, passing)
                continue
            if (model.placed(seat) and model.stale[seat]) or random.random() < 0.2:
                self.checked_observe(which, seat, seat)
                if model.done[seat]:
                    continue
            moves = sorted(model.mask[seat])
            if policy != "any":
                size = (max if policy == "big" else min)(PIECE_CELLS[BY_GRID[g].kind]
                                                          for g in moves)
                moves = [g for g in moves if PIECE_CELLS[BY_GRID[g].kind] == size]
            move = random.choice(moves)
            self.checked_step(which, move, move)

    @rule(which=WHICH)
    def render(self, which):
        result, printed = printed_by(self.envs[which].render)
        assert result is None
        assert printed == self.models[which].text().encode()

    @rule()
    def reread_kept_observations(self):
        for observation, planes, mask in self.kept:
            assert_same_bytes("kept planes", observation.observation, planes)
            assert_same_bytes("kept mask", observation.action_mask, mask)

    @invariant()
    def properties_agree_with_the_model(self):
        for env, model in zip(self.envs, self.models, strict=True):
            assert env.agents == [0, 1, 2, 3]
            assert env.num_actions == NUM_ACTIONS
            assert env.action_grid_shape == (NUM_ACTIONS // 400, SIZE, SIZE)
            assert env.agent_selection == model.selection
            assert env.terminations == model.done
            assert env.rewards == model.rewards()


TestSurface = Surface.TestCase
TestSurface.settings = fuzz_settings()


# ---- Seeds and sizes at the package's entry points ----------------------------------------------
#
# Every kind of value a caller may pass as a seed, at every call that takes one; numbers too long
# to print at every call that takes an index or a count; and requests too large for the process,
# in a child whose address space is limited.

BEYOND_64_BITS = st.one_of(
    st.integers(min_value=2**64), st.integers(max_value=-1),
    st.integers(4300, 4400).map(lambda digits: 10**digits),  # past Python's int-to-text limit
    st.integers(4300, 4400).map(lambda digits: -(10**digits)),
)


class OutOfRange(NamedTuple):
    """The argument is an integer outside the call's range: ValueError naming it."""

    value: int


def seed_arguments():
    """(argument, the int it stands for, or OutOfRange, or Fails) pairs of every type."""
    whole = st.one_of(st.integers(0, 2**64 - 1), st.sampled_from([0, 1, 2**63, 2**64 - 1]))
    return st.one_of(
        st.just((None, None)),
        whole.map(lambda v: (v, v)),
        whole.map(lambda v: (Index(v), v)),
        whole.map(lambda v: (StrictInt(v), v)),
        whole.map(lambda v: (np.uint64(v), v)),
        st.integers(0, 2**63 - 1).map(lambda v: (np.int64(v), v)),
        st.booleans().map(lambda b: (b, b)),
        BEYOND_64_BITS.map(lambda v: (v, OutOfRange(v))),
        BEYOND_64_BITS.map(lambda v: (Index(v), OutOfRange(v))),
        st.integers(-(2**63), -1).map(lambda v: (np.int64(v), OutOfRange(v))),
        st.floats().map(lambda v: (v, Fails(TypeError))),
        st.sampled_from(["3", b"\x03", [3], 3j, object()]).map(lambda v: (v, Fails(TypeError))),
        st.just((Index(raising), Fails(LookupError, ("from __index__",)))),
    )


def described(value):
    """A number as the package's messages show it: by its size once it is too long to read."""
    bits = abs(value).bit_length()
    if bits <= 256:
        return str(value)
    return f"(a {'negative ' if value < 0 else ''}number of {bits} bits)"


def first_moves(env, obs):
    mask = obs["action_mask"]
    return (np.unpackbits(mask, axis=1) if env.mask == "bits" else mask).argmax(axis=1)


def vector_made(seed):
    env = VectorEnv(2, 1, seed=seed)
    return env.step(first_moves(env, env.reset()[0]))[0]["seat"].tolist()


VECTOR = VectorEnv(2, 1, seed=0)


def vector_reset(seed):
    obs, _ = VECTOR.reset(seed=seed)
    return VECTOR.step(first_moves(VECTOR, obs))[0]["seat"].tolist()


def arena_played(seed):
    return arena(["random"] * 4, games=1, seed=seed, threads=1).seat_scores.tolist()


def search_made(seed):
    return repr(tavlok.bots.MCTS(playouts=1, seed=seed))


def pettingzoo_reset(seed):
    env = tavlok.env()
    env.reset(seed=seed)
    return [env.action_space(agent).sample() for agent in env.agents]


def gymnasium_reset(seed):
    env = TavlokGymEnv()
    observation, _ = env.reset(seed=seed)  # the learner's seat and the bots' openings
    return env.seat, observation["observation"].tobytes()


LEARNERS = LearnerVectorEnv(2, num_threads=1)


def learner_reset(seed):
    observation, _ = LEARNERS.reset(seed=seed)  # the learners' seats and the bots' openings
    return LEARNERS.seats.tolist(), observation["observation"].tobytes()


SEED_BELOW_2_64 = "seed must be between 0 and 2**64 - 1, not {}"


class SeedEntry(NamedTuple):
    call: object  # seed -> what the call gave, comparable between calls
    takes_none: bool
    takes_bool: bool
    bounded: bool  # below 2**64; otherwise any whole number from 0
    out_of_range: str  # the ValueError's message, with {} for the seed
    per_env: bool = False  # a list holds one seed per env (of the 2 the entry's env has)


SEED_ENTRIES = {
    # A bool is refused as a seed: True is more likely a mistaken argument than seed 1.
    "VectorEnv(seed=)": SeedEntry(vector_made, True, False, True, SEED_BELOW_2_64),
    "VectorEnv.reset(seed=)": SeedEntry(vector_reset, True, False, True, SEED_BELOW_2_64, True),
    "LearnerVectorEnv.reset(seed=)": SeedEntry(learner_reset, True, False, True, SEED_BELOW_2_64,
                                               True),
    "arena(seed=)": SeedEntry(arena_played, False, False, True, SEED_BELOW_2_64),
    "bots.MCTS(seed=)": SeedEntry(search_made, False, False, True, SEED_BELOW_2_64),
    "env().reset(seed=)": SeedEntry(pettingzoo_reset, True, False, False,
                                    "seed must be 0 or more, not {}"),
    "TavlokGymEnv.reset(seed=)": SeedEntry(gymnasium_reset, True, False, True, SEED_BELOW_2_64),
}


@settings(settings.get_profile("ci"), max_examples=300, deadline=None)
@given(entry=st.sampled_from(sorted(SEED_ENTRIES)), seed=seed_arguments())
def test_every_entry_point_takes_every_kind_of_seed_or_names_it(entry, seed):
    rule = SEED_ENTRIES[entry]
    argument, meaning = seed
    if isinstance(meaning, OutOfRange) and not rule.bounded and meaning.value >= 0:
        meaning = meaning.value
    if (meaning is None and not rule.takes_none) or (
            isinstance(argument, bool) and not rule.takes_bool):
        meaning = Fails(TypeError)
    if isinstance(argument, list) and rule.per_env:
        meaning = Fails(ValueError, (f"a list of seeds must hold 2, not {len(argument)}",))
    result, error = outcome(lambda: rule.call(argument))
    event(f"{entry}: {type(error).__name__ if error else 'taken'}")
    if isinstance(meaning, Fails):
        assert type(error) is meaning.kind, repr(error)
        if meaning.args is not None:
            assert error.args == meaning.args
    elif isinstance(meaning, OutOfRange):
        assert type(error) is ValueError, repr(error)
        assert str(error) == rule.out_of_range.format(described(meaning.value))
    else:
        assert error is None, repr(error)
        if meaning is not None:  # the same as the plain int it stands for
            assert result == rule.call(int(meaning))
    # A refused seed left the shared env as it was: it still steps from its openings.
    assert vector_reset(None) == [1, 1]


def pettingzoo_step(action):
    env = tavlok.env()
    env.reset(seed=1)
    env.unwrapped.step(action)


def index_entries():
    """name -> (call, the ValueError's message with {0} for the number)."""
    grid = "grid index {0} is outside 0 to 36399"
    seat = "seat {0} is outside 0 to 3"
    return {
        "State.apply": (lambda v: State().apply(v), grid),
        "State.from_history": (lambda v: State.from_history([0, v]), grid),
        "State.observation": (lambda v: State().observation(v), seat),
        "State.board": (lambda v: State().board(v), seat),
        "decode": (tavlok.decode, grid),
        "encode": (lambda v: tavlok.encode(v, 0, 0), "orientation {0} is outside 0 to 90"),
        # These two take a plain int, as their signatures say.
        "orientation_index": (lambda v: tavlok.orientation_index("Monomino", operator.index(v)),
                              "Monomino has orientations 0 to 0, not {0}"),
        "Board": (lambda v: Board(np.full((20, 20), -1), operator.index(v)),
                  "viewer must be between 0 and 3, not {0}"),
        "env().step": (pettingzoo_step, "player_0 cannot play grid index {0}: " + grid),
        "TavlokGymEnv(seat=)": (lambda v: TavlokGymEnv(seat=v),
                                "seat must be between 0 and 3, not {0}"),
        "VectorEnv(num_envs)": (VectorEnv, "num_envs must be between 1 and 16777216, not {0}"),
        "VectorEnv(num_threads)": (lambda v: VectorEnv(2, v),
                                   "num_threads must be between 1 and 1024, not {0}"),
        "LearnerVectorEnv(num_envs)": (LearnerVectorEnv,
                                       "num_envs must be between 1 and 16777216, not {0}"),
        "LearnerVectorEnv(num_threads)": (lambda v: LearnerVectorEnv(2, num_threads=v),
                                          "num_threads must be between 1 and 1024, not {0}"),
        "LearnerVectorEnv(seat=)": (lambda v: LearnerVectorEnv(2, seat=v),
                                    "seat must be between 0 and 3, not {0}"),
        "arena(games=)": (lambda v: arena(["random"] * 4, games=v),
                          "games must be between 1 and 2**40 - 1, not {0}"),
        "arena(threads=)": (lambda v: arena(["random"] * 4, threads=v),
                            "threads must be between 1 and 1024, not {0}"),
    }


INDEX_ENTRIES = index_entries()


@settings(settings.get_profile("ci"), max_examples=150, deadline=None)
@given(entry=st.sampled_from(sorted(INDEX_ENTRIES)), value=BEYOND_64_BITS,
       wrap=st.sampled_from([int, Index, StrictInt]))
def test_numbers_of_any_size_are_refused_by_their_argument_and_range(entry, value, wrap):
    call, message = INDEX_ENTRIES[entry]
    _, error = outcome(lambda: call(wrap(value)))
    assert isinstance(error, ValueError), repr(error)
    assert str(error) == message.format(described(value))


SIZED_REQUESTS = """
    import collections, json, re
    import numpy as np
    from hypothesis import given, settings, strategies as st

    seen = collections.Counter()

    def too_large(error, request, purpose):
        return re.fullmatch(rf"{request} need \\d+\\.\\d [kMGTPE]?B(ytes)? {purpose}, more than "
                            r"this process could allocate", str(error))

    # Small requests, and requests far past the limit: never one that only just fits, which
    # would leave the child too little memory for anything else.
    @settings(settings.get_profile("ci"), max_examples=40, deadline=None)
    @given(num_envs=st.one_of(st.integers(1, 32), st.integers(2**16, 2**24)),
           threads=st.integers(1, 1024), bits=st.booleans())
    def batches(num_envs, threads, bits):
        try:
            env = tavlok.VectorEnv(num_envs, threads, seed=0, mask="bits" if bits else "bytes")
        except MemoryError as error:
            assert too_large(error, f"{num_envs} envs", "for their games and buffers"), error
            seen["batch: MemoryError"] += 1
            return
        obs, _ = env.reset()
        mask = np.unpackbits(obs["action_mask"], axis=1) if bits else obs["action_mask"]
        env.step(mask.argmax(axis=1))
        env.close()
        seen["batch: made"] += 1

    @settings(settings.get_profile("ci"), max_examples=30, deadline=None)
    @given(games=st.one_of(st.integers(1, 4), st.integers(2**27, 2**40 - 1)),
           threads=st.integers(1, 1024))
    def arenas(games, threads):
        try:
            result = tavlok.arena(["random"] * 4, games=games, threads=threads)
        except MemoryError as error:
            assert too_large(error, f"{games} games", "for their scores and seats"), error
            seen["arena: MemoryError"] += 1
            return
        assert result.games == games
        seen["arena: played"] += 1

    batches()
    arenas()
    # The learner's batch sizes its games by the caller's request too.
    from tavlok.gym_vector import LearnerVectorEnv
    try:
        LearnerVectorEnv(2**24, mask="bits", num_threads=1)
        raise AssertionError("16777216 envs of the learner's batch fit")
    except MemoryError as error:
        assert too_large(error, f"{2**24} envs", "for their games and buffers"), error
        seen["learner: MemoryError"] += 1
    # 2**39 games of four int16 scores and four uint8 seats: 6.597e12 bytes.
    try:
        tavlok.arena(["greedy"] * 4, games=2**39, threads=1)
    except MemoryError as error:
        assert str(error) == ("549755813888 games need 6.6 TB for their scores and seats, more "
                              "than this process could allocate"), error
    # Threads whose stacks do not fit: a batch of 2,000 envs (some 130 MB) on 1,000 threads.
    for threads in (lambda: tavlok.VectorEnv(2000, 1000, seed=0),
                    lambda: tavlok.arena(["random"] * 4, games=2000, threads=1000)):
        try:
            threads()
        except RuntimeError as error:
            assert str(error).startswith("could not start 1000 threads: "), error
            seen["threads: RuntimeError"] += 1
    print(json.dumps(seen))
"""


def test_requests_of_any_size_are_made_or_refused_by_name_under_a_memory_limit():
    # Every refusal must leave the child working: the next example runs in the same process.
    skip_under_address_sanitizer("AddressSanitizer reserves more address space than any limit")
    finished = run_limited(SIZED_REQUESTS)
    assert finished.returncode == 0, finished.stderr
    seen = json.loads(finished.stdout)
    assert set(seen) == {"batch: made", "batch: MemoryError", "arena: played",
                         "arena: MemoryError", "learner: MemoryError",
                         "threads: RuntimeError"}, seen
    assert seen["threads: RuntimeError"] == 2
