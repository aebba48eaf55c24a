"""VectorEnv.step from Python, with 1 and 2 threads and byte and bit masks, against the single-env
loop of python_bench.py (observe, policy, step through PyTavlok), in the same run.

The memory floor of a step (filling the masks and planes with the same threads) is measured by
the C++ benchmark, vector_bench (make bench), which times the engine side of the same step.
"""

import argparse
import random
import statistics
import sys
import time
from pathlib import Path

import _tavlok
from tavlok.bench import run_vector

sys.path.insert(0, str(Path(__file__).resolve().parent))
from python_bench import play  # noqa: E402  (the single-env loop, kept in one place)


def single_env_us_per_turn(games: int, seed: int) -> float:
    env = _tavlok.PyTavlok()
    rng = random.Random(seed)
    play(env, rng)  # warm-up
    turns, started = 0, time.perf_counter()
    for _ in range(games):
        turns += play(env, rng)
    return (time.perf_counter() - started) * 1e6 / turns


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--envs", type=int, default=256)
    parser.add_argument("--steps", type=int, default=100)
    parser.add_argument("--repeat", type=int, default=7, help="runs per figure; medians shown")
    args = parser.parse_args()

    single = statistics.median(single_env_us_per_turn(30, seed) for seed in range(args.repeat))
    print(f"single env through PyTavlok: {single:.2f} µs per turn\n")
    print(f"{args.envs} envs, {args.steps} steps, median of {args.repeat} runs")
    print(
        f"{'threads':>7} {'mask':>5} {'µs/env-step':>12} {'env-steps/s':>12} "
        f"{'x single':>9} {'with policy':>12}"
    )
    for threads in (1, 2):
        rates = {}
        for mask in ("bytes", "bits"):
            runs = [
                run_vector(args.envs, threads, args.steps, mask, seed=r)
                for r in range(args.repeat)
            ]
            step_us = statistics.median(r.microseconds_per_env_step for r in runs)
            total_us = statistics.median(
                r.total_seconds * 1e6 / (r.num_envs * r.steps) for r in runs
            )
            rates[mask] = 1 / step_us
            print(
                f"{threads:>7} {mask:>5} {step_us:>12.2f} {1e6 / step_us:>12,.0f} "
                f"{single / step_us:>9.1f} {1e6 / total_us:>12,.0f}"
            )
        print(f"{threads:>7} bits/bytes env-steps/s: {rates['bits'] / rates['bytes']:.2f}")


if __name__ == "__main__":
    main()
