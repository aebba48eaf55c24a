"""The batched envs from Python, every ratio measured in the same run, runs of each kind taken in
turn so that a busy machine slows them alike:

1. VectorEnv.step with 1 and 2 threads in the three mask layouts, against the single-env loop of
   python_bench.py (observe, policy, step through PyTavlok);
2. a uniform random legal pick in numpy over byte masks and over lists (mask="indices");
3. the loop a user runs, that pick then step, with byte masks and with lists (256 envs, 2
   threads);
4. LearnerVectorEnv's step, three random bots moving in the engine after each learner move,
   against VectorEnv's step in the same layout;
5. what arrays that a caller may keep cost (the default) against the env's own buffers rewritten
   in place (copy=False), for LearnerVectorEnv (what gymnasium.make_vec makes) in each layout: in
   a loop that lets go of each step's arrays, and in one that keeps 20 steps' and then lets go of
   them all, as a rollout fragment does; and what copying every array of copy=False costs;
6. LearnerVectorEnv's step against the net bot and against the search: the env-steps a second of
   each, on two threads;
7. LearnerVectorEnv's step against three greedy bots with legal lists, with the learner's 64
   candidates listed beside them (candidate observations), and with candidate numbers as the
   actions (mask="candidates"), each with a uniform pick among what it offers; ``--only
   candidates`` runs this one alone.

The memory floor of a step (filling the masks and planes with the same threads) is measured by
the C++ benchmark, vector_bench (make bench), which times the engine side of the same steps.
"""

import argparse
import random
import statistics
import sys
import time
from pathlib import Path

import numpy as np

import _tavlok
from tavlok import _core
from tavlok.bench import run_vector
from tavlok.gym_vector import LearnerVectorEnv
from tavlok.pieces import NUM_ACTIONS
from tavlok.vector import VectorEnv

sys.path.insert(0, str(Path(__file__).resolve().parent))
from python_bench import play  # noqa: E402  (the single-env loop, kept in one place)

MASKS = ("bytes", "bits", "indices")
# The steps whose arrays a loop that keeps them holds: a rollout fragment's worth.
KEPT_STEPS = 20


def single_env_us_per_turn(games: int, seed: int) -> float:
    env = _tavlok.PyTavlok()
    rng = random.Random(seed)
    play(env, rng)  # warm-up
    turns, started = 0, time.perf_counter()
    for _ in range(games):
        turns += play(env, rng)
    return (time.perf_counter() - started) * 1e6 / turns


def pick_from_masks(mask: np.ndarray, rng: np.random.Generator) -> np.ndarray:
    """A uniformly random legal grid index per env from (num_envs, 36400) byte masks (bit masks
    unpacked first), as well as numpy does it: every legal (env, index) found in one pass, then
    one draw per env among its own."""
    if mask.dtype == np.uint8:
        mask = np.unpackbits(mask, axis=1)
    num_envs = mask.shape[0]
    legal = np.append(np.flatnonzero(mask.view(np.bool_)), 0)
    starts = np.searchsorted(legal[:-1], np.arange(num_envs + 1) * NUM_ACTIONS)
    counts = np.diff(starts)
    # An env whose game is over has nothing legal and takes whatever: its action is not played.
    return legal[starts[:-1] + (rng.random(num_envs) * counts).astype(np.int64)] % NUM_ACTIONS


def pick_from_lists(offsets: np.ndarray, indices: np.ndarray, rng: np.random.Generator):
    """The same draw from lists: one number per env, and no copy of the lists."""
    counts = np.diff(offsets)
    picks = offsets[:-1] + (rng.random(counts.size) * counts).astype(np.int64)
    # An env whose game is over lists nothing and takes whatever its pick lands on, which is not
    # played; when no env lists anything, the picks themselves (zeros) serve.
    return indices.take(picks, mode="clip") if indices.size else picks


def pick(env, obs, rng):
    if env.mask == "indices":
        return pick_from_lists(obs["legal_offsets"], obs["legal_indices"], rng)
    return pick_from_masks(obs["action_mask"], rng)


def timed_loop(
    env, steps: int, seed: int, kept: int = 0, copied: bool = False
) -> dict[str, list[float]]:
    """Seconds per env-step of every call: in step alone (with a copy of every array it hands out
    when ``copied``), in the pick alone, and in both as a loop runs them; the loop holds every
    array of up to ``kept`` steps, then lets go of them all, as a rollout fragment handed to a
    learner does."""
    rng = np.random.default_rng(seed)
    obs, _ = env.reset(seed=seed)
    times = {"step": [], "pick": [], "loop": []}
    held = []
    for _ in range(steps):
        before = time.perf_counter()
        actions = pick(env, obs, rng)
        between = time.perf_counter()
        obs, *results = env.step(actions)
        if copied:
            obs, results = {k: np.array(v) for k, v in obs.items()}, [np.array(results[0])]
        after = time.perf_counter()
        held.append((obs, results))
        if len(held) > kept:
            held.clear()
        times["pick"].append((between - before) / env.num_envs)
        times["step"].append((after - between) / env.num_envs)
        times["loop"].append((after - before) / env.num_envs)
    return times


def medians(runs: list[dict[str, list[float]]]) -> dict[str, float]:
    """The median over every call of every run: a call takes a fraction of a millisecond, so the
    median is the undisturbed cost even on a machine where other work takes the processor now
    and then, which a mean over whole runs is not."""
    return {key: statistics.median(t for run in runs for t in run[key]) for key in runs[0]}


def print_keeping_costs(n: int, steps: int, repeat: int) -> None:
    """What make_vec's env costs by default, where every call hands out arrays of its own."""
    # copy=, steps kept, copied by the loop
    kinds = {
        "in place": (False, 0, False),
        "dropped": (True, 0, False),
        "kept": (True, KEPT_STEPS, False),
        "copied": (False, 0, True),
    }
    learners = {
        (kind, mask): LearnerVectorEnv(n, opponents="random", mask=mask, num_threads=2, copy=copy)
        for kind, (copy, _, _) in kinds.items()
        for mask in MASKS
    }
    steps_of = {key: [] for key in learners}
    for r in range(repeat):
        for (kind, mask), env in learners.items():
            _, kept, copied = kinds[kind]
            steps_of[kind, mask].append(timed_loop(env, steps, r, kept, copied))
    step_us = {key: medians(value)["step"] * 1e6 for key, value in steps_of.items()}
    print(
        f"\nLearnerVectorEnv's step, µs per env-step ({n} envs, 2 threads): copy=False, and over "
        f"it the default, whose arrays are the caller's, dropped before the next step or kept "
        f"for {KEPT_STEPS} steps, and copy=False with a copy of every array"
    )
    print(f"{'mask':>7} {'in place':>9} {'+dropped':>9} {'+kept':>9} {'+copied':>9}")
    for mask in MASKS:
        place, *others = (step_us[kind, mask] for kind in kinds)
        print(f"{mask:>7} {place:>9.2f} " + " ".join(f"{t - place:>+9.2f}" for t in others))
    for env in learners.values():
        env.close()


def print_opponent_costs(rounds: int) -> None:
    """A learner batch against three net bots, and against three searches at their default
    budget, run in turn: env-steps a second of wall time and of processor time."""
    # (envs, steps): a whole game each, whose first moves are the search's slowest.
    setups = {"net": (256, 21), "mcts": (4, 21)}
    wall = {name: 0.0 for name in setups}
    cpu = dict(wall)
    env_steps = {name: 0 for name in setups}
    for r in range(rounds):
        for name, (n, steps) in setups.items():
            with LearnerVectorEnv(n, opponents=name, mask="indices", num_threads=2) as env:
                rng = np.random.default_rng(r)
                obs, _ = env.reset(seed=r)
                for _ in range(steps):
                    actions = pick(env, obs, rng)
                    before, before_cpu = time.perf_counter(), time.process_time()
                    obs, *_ = env.step(actions)
                    wall[name] += time.perf_counter() - before
                    cpu[name] += time.process_time() - before_cpu
                env_steps[name] += n * steps
    print("\nLearnerVectorEnv's step against three bots (2 threads, mask='indices'), env-steps/s:")
    for name in setups:
        print(
            f"{name:>7}: {env_steps[name] / wall[name]:>10,.1f} a second of wall time, "
            f"{env_steps[name] / cpu[name]:>10,.1f} of processor time"
        )
    ratio = (env_steps["net"] / wall["net"]) / (env_steps["mcts"] / wall["mcts"])
    print(f"net opponents give {ratio:,.0f} x the env-steps/s of mcts ones (target at least 20)")


def pick_candidate(env, obs, rng):
    """A uniform pick among each env's 64 candidates, as its actions take it: the candidate's
    number with mask="candidates", otherwise its grid index (from the candidates listed, or
    worked out from the game where none are), so that every setup plays the same games."""
    if env.candidates is None:
        listed = [_core.net_features(env.state(i))[0] for i in range(env.num_envs)]
    else:
        listed = [row[row >= 0] for row in obs["candidate_indices"]]
    counts = np.array([len(moves) for moves in listed])
    numbers = (rng.random(counts.size) * np.maximum(counts, 1)).astype(np.int64)
    if env.mask == "candidates":
        return numbers
    # A game that is over takes any action, which is not played.
    return np.array([moves[k] if len(moves) else 0 for moves, k in zip(listed, numbers)])


def print_candidate_costs(rounds: int) -> None:
    """The learner env against three greedy bots (256 envs, 2 threads, its own buffers): legal
    lists, the same with 64 candidates listed, and candidate actions, run in turn, each playing
    the same games (a uniform pick among the candidates); env-steps a second of the step
    alone."""
    n, steps = 256, 21  # a whole game each
    setups = {
        "legal lists": {"mask": "indices"},
        "candidate observations": {"mask": "indices", "candidates": 64},
        "candidate actions": {"mask": "candidates", "candidates": 64},
    }
    wall = dict.fromkeys(setups, 0.0)
    for r in range(rounds):
        for name, options in setups.items():
            with LearnerVectorEnv(
                n, opponents="greedy", num_threads=2, copy=False, **options
            ) as env:
                rng = np.random.default_rng(r)
                obs, _ = env.reset(seed=r)
                for _ in range(steps):
                    actions = pick_candidate(env, obs, rng)
                    before = time.perf_counter()
                    obs, *_ = env.step(actions)
                    wall[name] += time.perf_counter() - before
    rate = {name: rounds * n * steps / wall[name] for name in setups}
    print("\nLearnerVectorEnv's step against three greedy bots (256 envs, 2 threads), env-steps/s:")
    for name in setups:
        print(f"{name:>23}: {rate[name]:>10,.0f}")
    print(
        f"candidate observations give {rate['candidate observations'] / rate['legal lists']:.2f} "
        f"x the env-steps/s of legal lists (target at least 0.5); candidate actions "
        f"{rate['candidate actions'] / rate['candidate observations']:.2f} x candidate "
        f"observations' (target at least 1)"
    )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--envs", type=int, default=256)
    parser.add_argument("--steps", type=int, default=100)
    parser.add_argument("--repeat", type=int, default=7, help="runs per figure; medians shown")
    parser.add_argument("--only", choices=["candidates"], help="run one part alone")
    args = parser.parse_args()
    n, steps, repeat = args.envs, args.steps, args.repeat
    if args.only == "candidates":
        print_candidate_costs(max(1, repeat // 2))
        return

    single = statistics.median(single_env_us_per_turn(30, seed) for seed in range(repeat))
    print(f"single env through PyTavlok: {single:.2f} µs per turn\n")
    print(f"{n} envs, {steps} steps, median of {repeat} runs")
    print(
        f"{'threads':>7} {'mask':>7} {'µs/env-step':>12} {'env-steps/s':>12} "
        f"{'x single':>9} {'with policy':>12}"
    )
    for threads in (1, 2):
        for mask in MASKS:
            runs = [run_vector(n, threads, steps, mask, seed=r) for r in range(repeat)]
            step_us = statistics.median(r.microseconds_per_env_step for r in runs)
            total_us = statistics.median(
                r.total_seconds * 1e6 / (r.num_envs * r.steps) for r in runs
            )
            print(
                f"{threads:>7} {mask:>7} {step_us:>12.2f} {1e6 / step_us:>12,.0f} "
                f"{single / step_us:>9.1f} {1e6 / total_us:>12,.0f}"
            )

    # Self-play and learner envs in every layout, made once and run in turn, on their buffers
    # rewritten in place: what the engine and the binding cost, comparable from run to run (the
    # default's own cost is the last table).
    envs = {}
    for threads in (1, 2):
        for mask in MASKS:
            envs["self", threads, mask] = VectorEnv(n, threads, seed=0, mask=mask, copy=False)
            envs["learner", threads, mask] = LearnerVectorEnv(
                n, opponents="random", mask=mask, num_threads=threads, copy=False
            )
    runs = {key: [] for key in envs}
    for r in range(repeat):
        for key, env in envs.items():
            runs[key].append(timed_loop(env, steps, seed=r))
    figures = {key: medians(value) for key, value in runs.items()}

    print(
        f"\nthe uniform random legal pick in numpy, then step ({n} envs; medians over the "
        f"{steps * repeat} calls of each)"
    )
    print(
        f"{'threads':>7} {'env':>8} {'mask':>7} {'step µs':>9} {'pick µs':>9} "
        f"{'loop env-steps/s':>17}"
    )
    for (kind, threads, mask), f in figures.items():
        print(
            f"{threads:>7} {kind:>8} {mask:>7} {f['step'] * 1e6:>9.2f} {f['pick'] * 1e6:>9.2f} "
            f"{1 / f['loop']:>17,.0f}"
        )

    print()
    for threads in (1, 2):
        self_play = {mask: figures["self", threads, mask] for mask in MASKS}
        print(
            f"{threads} thread(s): a step with lists costs "
            f"{self_play['indices']['step'] / self_play['bits']['step']:.2f} x one with bit masks "
            f"(target at most 1); a pick over lists "
            f"{self_play['indices']['pick'] / self_play['bytes']['pick']:.3f} x one over byte "
            f"masks (target at most 0.1)"
        )
    end_to_end = figures["self", 2, "bytes"]["loop"] / figures["self", 2, "indices"]["loop"]
    print(
        f"2 threads, pick then step: lists give {end_to_end:.1f} x the env-steps/s of byte masks "
        f"(target at least 4)"
    )
    for threads in (1, 2):
        step = {key: f["step"] for key, f in figures.items()}
        ratios = ", ".join(
            f"{mask} {step['self', threads, mask] / step['learner', threads, mask]:.2f}"
            for mask in MASKS
        )
        print(
            f"{threads} thread(s): learner env-steps/s with random bots, x the self-play env's: "
            f"{ratios} (target at least 0.5)"
        )
    for env in envs.values():
        env.close()

    print_keeping_costs(n, steps, repeat)
    print_opponent_costs(max(1, repeat // 3))
    print_candidate_costs(max(1, repeat // 2))


if __name__ == "__main__":
    main()
