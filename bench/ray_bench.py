"""tavlok.ray on a local cluster: rollout and arena throughput with 1 and 2 workers, and the bytes
each env-step ships through the object store in each mask layout. Needs Ray (the integration
environment); run with PYTHONPATH=build/<python>:python. The figures go in docs/scaling.md."""

from __future__ import annotations

import argparse
import time

import numpy as np
import ray

import tavlok
from tavlok.gym_vector import LearnerVectorEnv
from tavlok.ray import RolloutWorkers, arena
from tavlok.rollout import play_rollout


class UniformPick:
    """A uniform random legal move per env, drawn in numpy from the sparse lists: the cheapest
    policy a learner could run, so that the figures are the env's and Ray's."""

    def seed(self, seed: int) -> None:
        self.rng = np.random.default_rng(seed)

    def __call__(self, obs):
        if "legal_offsets" not in obs:  # a dense layout: pick the first legal move
            mask = obs["action_mask"]
            dense = np.unpackbits(mask, axis=1) if mask.dtype == np.uint8 else mask
            return np.argmax(dense, axis=1)
        offsets = obs["legal_offsets"]
        picks = offsets[:-1] + self.rng.integers(0, np.diff(offsets))
        return obs["legal_indices"][picks]


def rollout_rate(workers: int, envs: int, steps: int, rounds: int) -> float:
    """Env-steps per second of `workers` rollout workers, collect after collect."""
    with RolloutWorkers(workers, envs, seed=1) as pool:
        pool.collect(UniformPick(), steps)  # start-up: imports, the first games
        start = time.perf_counter()
        for _ in range(rounds):
            pool.collect(UniformPick(), steps)
        elapsed = time.perf_counter() - start
    return workers * envs * steps * rounds / elapsed


def local_rate(envs: int, steps: int, rounds: int) -> float:
    """The same loop in this process, without Ray."""
    env = LearnerVectorEnv(envs, mask="indices", autoreset_mode="SameStep", num_threads=1)
    obs, _ = env.reset(seed=1)
    policy = UniformPick()
    policy.seed(1)
    _, obs = play_rollout(env, obs, policy, steps)
    start = time.perf_counter()
    for _ in range(rounds):
        _, obs = play_rollout(env, obs, policy, steps)
    return envs * steps * rounds / (time.perf_counter() - start)


def bytes_per_step(envs: int, steps: int) -> dict[str, dict[str, float]]:
    """What a rollout ships per env-step in each layout, by array, and how long games last."""
    found = {}
    for mask in ("indices", "bits", "bytes"):
        with RolloutWorkers(1, envs, seed=2, mask=mask) as pool:
            (rollout,) = pool.collect(UniformPick(), steps, unpack=False)
        legal = (rollout.legal_offsets, rollout.legal_indices, rollout.action_mask)
        parts = {
            "planes (packed)": rollout.observation.nbytes,
            "hands (packed)": rollout.hands.nbytes,
            "legal actions": sum(array.nbytes for array in legal if array is not None),
            "actions, rewards, terminations": rollout.actions.nbytes
            + rollout.rewards.nbytes
            + rollout.terminations.nbytes,
            "shipped": rollout.nbytes,
            "unpacked": rollout.unpacked().nbytes,
        }
        n = rollout.steps * rollout.num_envs
        found[mask] = {key: value / n for key, value in parts.items()}
        found[mask]["env-steps per game"] = n / max(1, len(rollout.ended_step))
        if rollout.legal_offsets is not None:
            found[mask]["legal moves (mean)"] = float(rollout.legal_offsets[-1]) / n
    return found


def arena_rate(games: int, lineup: list, play=arena) -> float:
    play(lineup, 8, seed=3)  # start-up: the workers' processes and imports
    start = time.perf_counter()
    play(lineup, games, seed=3)
    return games / (time.perf_counter() - start)


def first_legal(view):
    return view["legal_indices"][view["legal_offsets"][:-1]]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--envs", type=int, default=64, help="envs per worker")
    parser.add_argument("--steps", type=int, default=64, help="steps per collect")
    parser.add_argument("--rounds", type=int, default=10, help="collects timed")
    parser.add_argument("--games", type=int, default=4000, help="arena games")
    args = parser.parse_args()

    print(f"local, no Ray: {local_rate(args.envs, args.steps, args.rounds):,.0f} env-steps/s")
    lineups = {
        "random x4": ["random"] * 4,
        "greedy x4": ["greedy"] * 4,
        "policy + 3 random": [first_legal, "random", "random", "random"],
    }
    for name, lineup in lineups.items():
        rate = arena_rate(args.games, lineup, lambda *a, **k: tavlok.arena(*a, threads=1, **k))
        print(f"  local arena, {name}, 1 thread: {rate:,.0f} games/s")
    for cpus in (1, 2):
        ray.init(num_cpus=cpus, include_dashboard=False, object_store_memory=200 * 2**20)
        rate = rollout_rate(cpus, args.envs, args.steps, args.rounds)
        print(
            f"{cpus} rollout worker(s) of {args.envs} envs, {args.steps} steps a collect: "
            f"{rate:,.0f} env-steps/s"
        )
        for name, lineup in lineups.items():
            rate = arena_rate(args.games, lineup)
            print(f"  arena, {name}, on {cpus} CPU(s): {rate:,.0f} games/s")
        if cpus == 1:
            print(f"  bytes per env-step ({args.envs} envs x {args.steps} steps):")
            for mask, parts in bytes_per_step(args.envs, args.steps).items():
                shown = ", ".join(f"{key} {value:,.1f}" for key, value in parts.items())
                print(f"    {mask}: {shown}")
        ray.shutdown()


if __name__ == "__main__":
    main()
