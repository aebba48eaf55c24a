"""Plays seeded whole games through _tavlok exactly as a training loop would, and reports the cost
of a turn against the floor of handing out one mask: bytes(bytearray(36400))."""

import argparse
import random
import statistics
import time
import timeit

import _tavlok


def play(env: _tavlok.PyTavlok, rng: random.Random) -> int:
    """One game to the end; returns the number of turns taken (placements and passes)."""
    env.reset()
    n = env.num_actions
    turns = 0
    while not all(env.terminations):
        seat = env.agent_selection
        mask = env.observe(seat).action_mask
        start = rng.randrange(n)
        pick = mask.find(1, start)
        if pick < 0:
            pick = mask.find(1)
        env.step(pick if pick >= 0 else None)
        turns += 1
    return turns


def floor_ns(repeat: int = 21, number: int = 2000) -> float:
    times = timeit.repeat("bytes(bytearray(36400))", repeat=repeat, number=number)
    return statistics.median(times) / number * 1e9


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--games", type=int, default=200)
    parser.add_argument("--seed", type=int, default=0)
    args = parser.parse_args()

    env = _tavlok.PyTavlok()
    rng = random.Random(args.seed)
    play(env, rng)  # warm-up

    per_game, turns = [], 0
    for _ in range(args.games):
        start = time.perf_counter_ns()
        turns += play(env, rng)
        per_game.append(time.perf_counter_ns() - start)
    total_ns = sum(per_game)
    turn_ns = total_ns / turns
    f_py = floor_ns()
    print(f"F_py (bytes(bytearray(36400))): {f_py:.1f} ns")
    print(f"python turn (observe + action_mask + policy + step): {turn_ns / 1000:.2f} us"
          f"  = {turn_ns / f_py:.2f} x F_py")
    print(f"games/s: {args.games / (total_ns / 1e9):.0f}  ({turns / args.games:.1f} turns a game)")


if __name__ == "__main__":
    main()
