"""Evaluation and self-play rollouts on a Ray cluster (``pip install 'tavlok[ray]'``).

Nothing here starts a cluster of its own: the functions run on the one the caller is connected
to (``ray.init()`` as usual; without it, the first call starts a local one as Ray does). Every
node needs tavlok installed, as it needs any library its tasks import.

- ``arena(bots, games, seed, ...)``: ``tavlok.arena`` with its games split into parts, each a
  Ray task running the engine's arena on games ``first`` to ``first + count - 1``. A game
  depends only on the bots, the seed and its number, so the parts put end to end are exactly the
  local arena's result, whatever the number of parts. Python policies travel as Ray serialises
  them (cloudpickle), once per call through the object store.
- ``RolloutWorkers(num_workers, envs_per_worker, ...)``: Ray actors, each owning a
  ``tavlok.gym_vector.LearnerVectorEnv``, that play a policy for a number of steps and return
  the steps as numpy arrays (``Rollout``), legal actions in the sparse layout by default.

A worker that dies (its process killed, its node lost) is replaced: an arena part is a Ray task
that Ray runs again (``max_retries``) and that gives the same games again; a rollout is played
again from the start by a new actor on fresh games (see ``RolloutWorkers``). A part or a
rollout is counted once, when it is returned whole; nothing of a dead worker's is kept.

**The policy protocol** of ``RolloutWorkers.collect``: a picklable callable that takes the
observation dict of a ``LearnerVectorEnv`` (``"observation"``, ``"hands"`` and the legal actions
in the env's layout, ``num_envs`` rows; the env's own read-only buffers, valid until the next
step) and returns one of

- the actions: one legal grid index per env (a sequence or integer array);
- ``(actions, log_probs)``: with each action's log-probability under the policy, kept in the
  rollout as float32;
- a dict with ``"actions"``, optionally ``"log_probs"``, and any other per-env arrays (a value
  estimate, say), which the rollout keeps as ``extras``, stacked over the steps.

Optionally ``get_weights()`` and ``set_weights(weights)``: then the policy itself is shipped to
the workers once, and every ``collect`` broadcasts only ``get_weights()`` through the object
store (one copy per node), which each worker hands to ``set_weights`` before it plays. Without
them the whole policy is shipped on every ``collect``. ``seed(n)``, if the policy has it, is
called once on every worker's copy with a seed of its own (``worker_seed``), so that a sampling
policy draws differently on every worker and reproducibly from run to run.
"""

from __future__ import annotations

import math
import operator
import os
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass, field, fields, replace
from typing import Any

import numpy as np

try:
    import ray  # absolute: Ray itself, not this module
    import ray.exceptions
except ModuleNotFoundError as missing:  # pragma: no cover - the message is the point
    raise ModuleNotFoundError(
        "tavlok.ray needs Ray: pip install 'tavlok[ray]'", name=missing.name
    ) from missing

from ._numbers import shown
from .arena import MAX_THREADS, ArenaResult, _lineup
from .arena import arena as local_arena
from .pieces import NUM_SEATS
from .vector import HANDS_SHAPE, PLANES_SHAPE

__all__ = ["Rollout", "RolloutWorkers", "arena", "join_results", "play_rollout", "worker_seed"]

# Parts per CPU of the cluster when the caller does not choose: enough that a slow part does not
# hold the others back, few enough that each task's start-up (milliseconds) stays small.
PARTS_PER_CPU = 4
# The ArenaResult fields that hold a row per game; every other field must agree between parts.
PER_GAME_FIELDS = ("seat_scores", "seats")
PLANES_BYTES = math.prod(PLANES_SHAPE)
HANDS_BYTES = math.prod(HANDS_SHAPE)


# ---- evaluation --------------------------------------------------------------------------------


@ray.remote
def _play_part(
    bots: list[Any], seed: int, first: int, count: int, options: dict[str, Any]
) -> ArenaResult:
    return local_arena(bots, count, seed, first_game=first, **options)


def arena(
    bots: Sequence[Any],
    games: int = 100,
    seed: int = 0,
    *,
    part_games: int | None = None,
    threads: int = 1,
    batch_size: int | None = None,
    opening: int = 0,
    progress: Callable[[int, int], None] | None = None,
    max_retries: int = 3,
) -> ArenaResult:
    """``tavlok.arena(bots, games, seed, ...)`` played as Ray tasks; the same ``ArenaResult``.

    The games are split into parts of ``part_games`` games (by default about four parts per CPU
    of the cluster), each a task that takes ``threads`` CPUs and runs ``tavlok.arena`` on its
    games with that many threads (``batch_size`` and ``opening`` as there). ``progress(done,
    total)`` is called as parts come back. A part whose worker dies is run again, up to
    ``max_retries`` times, by Ray; an exception raised in a part (an illegal move of a policy, a
    policy's own error) is raised here as Ray raises it, an instance of the original type, and
    the parts still running are cancelled, as they are on Ctrl-C.
    """
    bots = list(bots)
    _, games = _lineup(bots, games)  # refuses what the arena would, here rather than in a task
    seed = operator.index(seed)
    if not 0 <= seed < 2**64:
        raise ValueError(f"seed must be between 0 and 2**64 - 1, not {shown(seed)}")
    threads = operator.index(threads)
    if not 1 <= threads <= MAX_THREADS:
        raise ValueError(f"threads must be between 1 and {MAX_THREADS}, not {threads}")
    if not ray.is_initialized():
        ray.init()  # what Ray's first call would do; the parts are sized by its CPUs
    if part_games is None:
        cpus = int(ray.cluster_resources().get("CPU", 1))
        part_games = math.ceil(games / max(1, PARTS_PER_CPU * cpus // threads))
    part_games = operator.index(part_games)
    if part_games < 1:
        raise ValueError(f"part_games must be at least 1, not {shown(part_games)}")

    options = {"threads": threads, "batch_size": batch_size, "opening": opening}
    task = _play_part.options(num_cpus=threads, max_retries=max_retries)
    shipped = ray.put(bots)  # the policies are serialised once, whatever the number of parts
    pending = {
        task.remote(shipped, seed, first, min(part_games, games - first), options): first
        for first in range(0, games, part_games)
    }
    parts: list[ArenaResult] = []
    try:
        while pending:
            done, _ = ray.wait(list(pending), num_returns=1)
            pending.pop(done[0])
            parts.append(ray.get(done[0]))
            if progress is not None:
                progress(sum(part.games for part in parts), games)
    finally:
        for ref in pending:
            ray.cancel(ref, force=True)
    return join_results(parts)


def join_results(parts: Sequence[ArenaResult]) -> ArenaResult:
    """The ``ArenaResult`` of consecutive parts of one arena (``first_game`` after
    ``first_game``, in any order), as the arena of all their games gives it. Raises
    ``ValueError`` for parts of different arenas, and for gaps or overlaps."""
    if not parts:
        raise ValueError("no parts to join")
    ordered = sorted(parts, key=lambda part: part.first_game)
    head = ordered[0]
    expected = head.first_game
    for part in ordered:
        if part.first_game != expected:
            raise ValueError(
                f"the parts do not follow each other: game {expected} is followed by game "
                f"{part.first_game}"
            )
        expected += part.games
    joined: dict[str, Any] = {}
    for spec in fields(ArenaResult):
        values = [getattr(part, spec.name) for part in ordered]
        if spec.name in PER_GAME_FIELDS:
            joined[spec.name] = np.concatenate(values)
        elif spec.name == "first_game":
            joined[spec.name] = head.first_game
        elif any(value != values[0] for value in values):
            raise ValueError(f"the parts are of different arenas: their {spec.name} differ")
        else:
            joined[spec.name] = values[0]
    return ArenaResult(**joined)


# ---- rollouts ----------------------------------------------------------------------------------


def worker_seed(seed: int, worker: int, generation: int = 0) -> int:
    """The 64-bit seed of rollout worker ``worker`` of a ``RolloutWorkers`` seeded with ``seed``;
    ``generation`` counts the workers that took its place after a failure. Its env is reset with
    this seed, and its policy's ``seed`` is given it."""
    words = np.random.SeedSequence([seed, worker, generation]).generate_state(2, np.uint32)
    return int(words[0]) | int(words[1]) << 32


@dataclass(eq=False)
class Rollout:
    """What one worker played in one ``collect``: ``steps`` steps of its ``num_envs`` envs.

    Arrays over the decisions have the shape ``(steps, num_envs, ...)``; the legal actions of
    step t in env e are row ``t * num_envs + e`` of the sparse layout
    (``legal_indices[legal_offsets[r]:legal_offsets[r + 1]]``, ascending), or
    ``action_mask[t, e]`` in the bit and byte layouts. With same-step autoreset (the workers'
    default) every row is a decision with legal actions: the step that ends a game shows the
    next game's first view, and the ended game is listed in ``ended_*``.

    Planes and hands hold only 0 and 1: workers ship them eight to a byte, and ``collect``
    unpacks them unless asked not to. Packed (``packed`` true), ``observation`` is
    ``(steps, num_envs, 200)`` and ``hands`` ``(steps, num_envs, 11)`` uint8, each env-step's
    planes (or hands) flattened and packed in ``numpy.packbits`` order; ``unpacked()`` restores
    them.
    """

    worker: int
    generation: int  # 0, or how many workers in this place died before this one
    observation: np.ndarray  # (steps, num_envs, 4, 20, 20) uint8: the learner's planes
    hands: np.ndarray  # (steps, num_envs, 4, 21) uint8
    actions: np.ndarray  # (steps, num_envs) int32: the grid index played
    rewards: np.ndarray  # (steps, num_envs) float32
    terminations: np.ndarray  # (steps, num_envs) bool: the step ended the env's game
    next_obs: dict[str, np.ndarray]  # the observation after the last step, for bootstrapping
    legal_offsets: np.ndarray | None = None  # (steps * num_envs + 1,) int64, sparse layout
    legal_indices: np.ndarray | None = None  # (total,) int32, sparse layout
    action_mask: np.ndarray | None = None  # (steps, num_envs, width), bit or byte layout
    log_probs: np.ndarray | None = None  # (steps, num_envs) float32, if the policy gives them
    extras: dict[str, np.ndarray] = field(default_factory=dict)  # the policy's other arrays
    # One entry per game that ended: the step and env where, the learner's seat, the scores.
    ended_step: np.ndarray = field(default_factory=lambda: np.zeros(0, np.int32))
    ended_env: np.ndarray = field(default_factory=lambda: np.zeros(0, np.int32))
    ended_seat: np.ndarray = field(default_factory=lambda: np.zeros(0, np.int8))
    ended_scores: np.ndarray = field(default_factory=lambda: np.zeros((0, 4), np.int16))
    packed: bool = False

    @property
    def steps(self) -> int:
        return self.actions.shape[0]

    @property
    def num_envs(self) -> int:
        return self.actions.shape[1]

    def legal(self, step: int, env: int) -> np.ndarray:
        """The legal grid indices of the decision at (step, env), ascending."""
        if self.legal_offsets is not None and self.legal_indices is not None:
            row = step * self.num_envs + env
            return self.legal_indices[self.legal_offsets[row] : self.legal_offsets[row + 1]]
        assert self.action_mask is not None
        mask = self.action_mask[step, env]
        if mask.dtype == np.uint8:  # bits, in numpy.packbits order
            mask = np.unpackbits(mask)
        return np.flatnonzero(mask).astype(np.int32)

    def packed_form(self) -> Rollout:
        """The rollout with its planes and hands eight to a byte, as workers ship it."""
        if self.packed:
            return self
        steps, envs = self.actions.shape
        return replace(
            self,
            observation=np.packbits(self.observation.reshape(steps, envs, -1), axis=-1),
            hands=np.packbits(self.hands.reshape(steps, envs, -1), axis=-1),
            packed=True,
        )

    def unpacked(self) -> Rollout:
        """The rollout with one byte per plane cell and per piece in hand."""
        if not self.packed:
            return self
        steps, envs = self.actions.shape
        planes = np.unpackbits(self.observation, axis=-1, count=PLANES_BYTES)
        hands = np.unpackbits(self.hands, axis=-1, count=HANDS_BYTES)
        return replace(
            self,
            observation=planes.reshape(steps, envs, *PLANES_SHAPE),
            hands=hands.reshape(steps, envs, *HANDS_SHAPE),
            packed=False,
        )

    @property
    def nbytes(self) -> int:
        """The bytes of its arrays: what the object store ships from the worker."""
        arrays = [getattr(self, spec.name) for spec in fields(self)]
        arrays += list(self.extras.values()) + list(self.next_obs.values())
        return sum(array.nbytes for array in arrays if isinstance(array, np.ndarray))


def _decision(answer: Any, n: int) -> tuple[np.ndarray, np.ndarray | None, dict[str, Any]]:
    """A policy's answer as (actions, log-probabilities or None, extras)."""
    if isinstance(answer, Mapping):
        extras = dict(answer)
        if "actions" not in extras:
            raise ValueError("a policy that returns a dict puts its actions under 'actions'")
        actions = extras.pop("actions")
        log_probs = extras.pop("log_probs", None)
    elif isinstance(answer, tuple):
        if len(answer) != 2:
            raise ValueError(
                f"a policy returns actions, (actions, log_probs) or a dict, not a tuple of "
                f"{len(answer)}"
            )
        actions, log_probs = answer
        extras = {}
    else:
        actions, log_probs, extras = answer, None, {}
    actions = np.asarray(actions)
    if actions.dtype.kind not in "iu" or actions.shape != (n,):
        raise ValueError(
            f"a policy returns one integer grid index per env, ({n},); not {actions.dtype} "
            f"{actions.shape}"
        )
    if log_probs is not None:
        log_probs = np.asarray(log_probs, dtype=np.float32).reshape(n)
    return actions, log_probs, {key: np.asarray(value) for key, value in extras.items()}


def play_rollout(
    env: Any,
    obs: Mapping[str, np.ndarray],
    policy: Callable[[Mapping[str, np.ndarray]], Any],
    steps: int,
    worker: int = 0,
    generation: int = 0,
) -> tuple[Rollout, dict[str, np.ndarray]]:
    """Plays ``steps`` steps of ``policy`` in ``env`` (a ``LearnerVectorEnv``) from ``obs``;
    returns the ``Rollout`` and the observation to go on from (a copy). What each worker of
    ``RolloutWorkers`` runs; the same on one machine."""
    steps = operator.index(steps)
    if steps < 1:
        raise ValueError(f"a rollout has at least one step, not {steps}")
    n = env.num_envs
    sparse = "legal_offsets" in obs
    observation = np.empty((steps, *obs["observation"].shape), np.uint8)
    hands = np.empty((steps, *obs["hands"].shape), np.uint8)
    actions = np.empty((steps, n), np.int32)
    rewards = np.empty((steps, n), np.float32)
    terminations = np.empty((steps, n), np.bool_)
    log_probs: np.ndarray | None = None
    extras: dict[str, np.ndarray] = {}
    lengths = np.empty((steps, n), np.int64)
    indices: list[np.ndarray] = []
    mask = None
    if not sparse:
        mask = np.empty((steps, *obs["action_mask"].shape), obs["action_mask"].dtype)
    ended: list[tuple[int, int, int, np.ndarray]] = []
    for t in range(steps):
        observation[t] = obs["observation"]
        hands[t] = obs["hands"]
        if sparse:
            lengths[t] = np.diff(obs["legal_offsets"])
            indices.append(obs["legal_indices"].copy())
        else:
            mask[t] = obs["action_mask"]  # type: ignore[index]
        chosen, logp, more = _decision(policy(obs), n)
        actions[t] = chosen
        if logp is not None:
            if log_probs is None:
                log_probs = np.zeros((steps, n), np.float32)
            log_probs[t] = logp
        for key, value in more.items():
            if key not in extras:
                extras[key] = np.zeros((steps, *value.shape), value.dtype)
            extras[key][t] = value
        obs, reward, terminated, _, infos = env.step(chosen)
        rewards[t] = reward
        terminations[t] = terminated
        if terminated.any():
            info = infos.get("final_info", infos)
            for e in np.flatnonzero(terminated):
                ended.append((t, int(e), int(info["seat"][e]), info["scores"][e]))
    rollout = Rollout(
        worker=worker,
        generation=generation,
        observation=observation,
        hands=hands,
        actions=actions,
        rewards=rewards,
        terminations=terminations,
        next_obs={key: np.array(value) for key, value in obs.items()},
        log_probs=log_probs,
        extras=extras,
        ended_step=np.array([e[0] for e in ended], np.int32),
        ended_env=np.array([e[1] for e in ended], np.int32),
        ended_seat=np.array([e[2] for e in ended], np.int8),
        ended_scores=np.array([e[3] for e in ended], np.int16).reshape(-1, NUM_SEATS),
    )
    if sparse:
        rollout.legal_offsets = np.zeros(steps * n + 1, np.int64)
        np.cumsum(lengths.reshape(-1), out=rollout.legal_offsets[1:])
        rollout.legal_indices = np.concatenate(indices)
    else:
        rollout.action_mask = mask
    return rollout, rollout.next_obs


@ray.remote(max_restarts=0)
class _RolloutWorker:
    """One worker: a learner env, the policy it was last given, and where its games stand."""

    def __init__(
        self, index: int, generation: int, envs: int, seed: int, options: dict[str, Any]
    ) -> None:
        from .gym_vector import LearnerVectorEnv  # needs gymnasium, as the env does

        self.index = index
        self.generation = generation
        self.seed = worker_seed(seed, index, generation)
        self.env = LearnerVectorEnv(envs, **options)
        self.obs, _ = self.env.reset(seed=self.seed)
        self.policy: Any = None
        self.policy_key: str | None = None

    def pid(self) -> int:
        return os.getpid()

    def collect(self, shipped: list[Any], weights: Any, steps: int) -> Rollout:
        # The policy comes as a reference inside a list, which Ray does not resolve: it is fetched
        # and unpickled only when it is not the one already here.
        (ref,) = shipped
        if ref.hex() != self.policy_key:
            self.policy = ray.get(ref)
            self.policy_key = ref.hex()
            if hasattr(self.policy, "seed"):
                self.policy.seed(self.seed)
        if weights is not None:
            self.policy.set_weights(weights)
        try:
            rollout, self.obs = play_rollout(
                self.env, self.obs, self.policy, steps, self.index, self.generation
            )
        except BaseException:
            # The games stay where the failure left them; the next rollout goes on from there.
            self.obs = self.env._obs()
            raise
        return rollout.packed_form()


class RolloutWorkers:
    """``num_workers`` Ray actors, each owning a ``LearnerVectorEnv`` of ``envs_per_worker``
    games, that play a policy (see the module's policy protocol) and return ``Rollout`` batches.

    ``env_options`` go to ``LearnerVectorEnv`` (``opponents``, ``seat``, ``reward``, ...), with
    two defaults of their own: ``mask="indices"``, the layout that ships the fewest bytes, and
    ``autoreset_mode="SameStep"``, so that every step of a rollout is a decision. Each worker
    takes ``num_threads`` CPUs (1 by default) and its env steps on that many threads.

    Worker w's env is reset once, when it starts, with ``worker_seed(seed, w)``; its games go on
    from one ``collect`` to the next. The rollouts are what ``play_rollout`` gives on a
    ``LearnerVectorEnv`` with the same options and seed, played locally with the same policy.

    A worker that dies is replaced by a new actor, which starts new games from
    ``worker_seed(seed, w, generation)`` and plays the lost rollout from the start; the games the
    dead one had under way are lost with it, and nothing of its rollout is returned. After
    ``max_restarts`` replacements in all, the next death is raised (``ray.exceptions.
    RayActorError``).
    """

    def __init__(
        self,
        num_workers: int,
        envs_per_worker: int,
        *,
        seed: int = 0,
        max_restarts: int = 8,
        **env_options: Any,
    ) -> None:
        num_workers = operator.index(num_workers)
        if num_workers < 1:
            raise ValueError(f"num_workers must be at least 1, not {shown(num_workers)}")
        self.envs_per_worker = operator.index(envs_per_worker)
        self.seed = operator.index(seed)
        if not 0 <= self.seed < 2**64:
            raise ValueError(f"seed must be between 0 and 2**64 - 1, not {shown(self.seed)}")
        self.max_restarts = operator.index(max_restarts)
        self.restarts = 0
        options = {"mask": "indices", "autoreset_mode": "SameStep", "num_threads": 1}
        options.update(env_options)
        # The env refuses bad options with its own message here rather than in an actor's
        # constructor, where Ray would report only that the actor died.
        from .gym_vector import LearnerVectorEnv

        LearnerVectorEnv(1, **options).close()
        self._options = options
        self._generations = [0] * num_workers
        self._actors = [self._start(w) for w in range(num_workers)]
        self._policy: Any = None
        self._shipped: Any = None

    @property
    def num_workers(self) -> int:
        return len(self._actors)

    def _start(self, worker: int) -> Any:
        actor = _RolloutWorker.options(num_cpus=self._options["num_threads"])
        return actor.remote(
            worker, self._generations[worker], self.envs_per_worker, self.seed, self._options
        )

    def pids(self) -> list[int]:
        """The process id of each worker."""
        return ray.get([actor.pid.remote() for actor in self._actors])

    def collect(self, policy: Any, steps: int, unpack: bool = True) -> list[Rollout]:
        """Every worker plays ``steps`` steps of ``policy``; returns their rollouts in worker
        order, with planes and hands unpacked unless ``unpack`` is false. A policy with
        ``get_weights`` is shipped once and its weights on every call; any other policy is
        shipped whole on every call."""
        steps = operator.index(steps)
        if steps < 1:
            raise ValueError(f"a rollout has at least one step, not {steps}")
        weighted = hasattr(policy, "get_weights") and hasattr(policy, "set_weights")
        if not weighted or policy is not self._policy:
            self._policy, self._shipped = policy, ray.put(policy)
        weights = ray.put(policy.get_weights()) if weighted else None

        def submit(worker: int) -> Any:
            return self._actors[worker].collect.remote([self._shipped], weights, steps)

        pending = {submit(w): w for w in range(self.num_workers)}
        rollouts: list[Rollout | None] = [None] * self.num_workers
        while pending:
            done, _ = ray.wait(list(pending), num_returns=1)
            worker = pending.pop(done[0])
            try:
                arrived = ray.get(done[0])
                rollouts[worker] = arrived.unpacked() if unpack else arrived
            except ray.exceptions.RayActorError:
                if self.restarts >= self.max_restarts:
                    raise
                self._replace(worker)
                pending[submit(worker)] = worker
        return rollouts  # type: ignore[return-value]

    def _replace(self, worker: int) -> None:
        ray.kill(self._actors[worker])  # should it only be unreachable, it must not come back
        self.restarts += 1
        self._generations[worker] += 1
        self._actors[worker] = self._start(worker)

    def close(self) -> None:
        """Ends the workers."""
        for actor in self._actors:
            ray.kill(actor)
        self._actors = []

    def __enter__(self) -> RolloutWorkers:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()
