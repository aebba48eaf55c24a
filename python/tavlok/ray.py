"""Evaluation and self-play rollouts on a Ray cluster (``pip install 'tavlok[ray]'``).

Nothing here starts a cluster of its own: the functions run on the one the caller is connected
to (``ray.init()`` as usual; without it, the first call starts a local one as Ray does). Every
node needs tavlok installed, as it needs any library its tasks import.

``arena`` plays ``tavlok.arena``'s games as Ray tasks and ``RolloutWorkers`` plays a policy on Ray
actors; a worker that dies is replaced, and only what is returned whole is counted.

**The policy** of ``RolloutWorkers.collect`` is a picklable callable of ``tavlok.rollout``'s
policy protocol. Optionally it has ``get_weights()`` and ``set_weights(weights)``: then the
policy itself is shipped to the workers once, and every ``collect`` broadcasts only
``get_weights()`` through the object store (one copy per node), which each worker hands to
``set_weights`` before it plays. Without them the whole policy is shipped on every ``collect``.
``seed(n)``, if the policy has it, is called once on every worker's copy with a seed of its own
(``worker_seed``), so that a sampling policy draws differently on every worker and reproducibly
from run to run.
"""

from __future__ import annotations

import math
import os
from collections.abc import Callable, Sequence
from dataclasses import fields
from typing import Any

import numpy as np

try:
    import ray  # absolute: Ray itself, not this module
    import ray.exceptions
except ModuleNotFoundError as missing:  # pragma: no cover - the message is the point
    raise ModuleNotFoundError(
        "tavlok.ray needs Ray: pip install 'tavlok[ray]'", name=missing.name
    ) from missing

from . import _arguments
from .arena import MAX_THREADS, ArenaResult, _setup
from .arena import arena as local_arena
from .rollout import Rollout, play_rollout

__all__ = ["RolloutWorkers", "arena", "join_results", "worker_seed"]

# Parts per CPU of the cluster when the caller does not choose: enough that a slow part does not
# hold the others back, few enough that each task's start-up (milliseconds) stays small.
PARTS_PER_CPU = 4
# The ArenaResult fields that hold a row per game; every other field must agree between parts.
PER_GAME_FIELDS = ("seat_scores", "seats")


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
    # Refused here, as the arena would refuse them, rather than in a task.
    _, games, seed, batch_size, opening = _setup(bots, games, seed, batch_size, opening)
    threads = _arguments.whole(threads, "threads", 1, MAX_THREADS)
    part_games = _arguments.whole(part_games, "part_games", 1, allow_none=True)
    if not ray.is_initialized():
        ray.init()  # what Ray's first call would do; the parts are sized by its CPUs
    if part_games is None:
        cpus = int(ray.cluster_resources().get("CPU", 1))
        part_games = math.ceil(games / max(1, PARTS_PER_CPU * cpus // threads))

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
    games, that play a policy (see the module's documentation) and return ``Rollout`` batches.

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
        num_workers = _arguments.whole(num_workers, "num_workers", 1)
        self.envs_per_worker = _arguments.whole(envs_per_worker, "envs_per_worker", 1)
        self.seed = _arguments.seed(seed, allow_none=False)
        self.max_restarts = _arguments.whole(max_restarts, "max_restarts", 0)
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
        steps = _arguments.whole(steps, "steps", 1)
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
