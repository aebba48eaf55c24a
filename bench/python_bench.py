"""Plays seeded whole games through _tavlok exactly as a training loop would, and reports the cost
of a turn against the floor of handing out one mask: bytes(bytearray(36400)).

Then the same decisions through the PettingZoo environment (``last()`` and ``step``) beside the
raw PyTavlok loop (``observe``, ``action_mask``, ``step``), measured in the same run on the same
recorded games, so that neither figure includes a policy: both replay the moves."""

import argparse
import random
import statistics
import time
import timeit
from collections.abc import Callable

import _tavlok

import tavlok


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


def recorded_games(count: int, seed: int) -> list[list[int]]:
    """The moves of ``count`` whole games of uniformly random legal placements."""
    rng = random.Random(seed)
    games = []
    for _ in range(count):
        state = tavlok.State()
        while not state.is_terminal():
            state.apply(rng.choice(state.legal_actions().tolist()))
        games.append(list(state.history))
    return games


def replay_raw(env: _tavlok.PyTavlok, moves: list[int]) -> None:
    """The engine's own loop: observe the seat to move, read its mask, place or pass."""
    env.reset()
    following = iter(moves)
    while not all(env.terminations):
        seat = env.agent_selection
        env.observe(seat).action_mask  # noqa: B018 - a trainer reads it to choose
        env.step(None if env.terminations[seat] else next(following))


def replay_pettingzoo(env, moves: list[int]) -> None:  # noqa: ANN001 - any AEC env
    """PettingZoo's loop: last() for the agent to act, then step (None once it is terminated)."""
    env.reset()
    following = iter(moves)
    for _ in env.agent_iter():
        _, _, terminated, truncated, _ = env.last()
        env.step(None if terminated or truncated else next(following))


def per_placement_ns(
    replays: dict[str, Callable[[list[int]], None]], games: list[list[int]], rounds: int = 9
) -> dict[str, list[float]]:
    """Per replay, the time per placement of replaying every game, once in each round. The
    replays take turns within a round, so that a slower spell of the machine hits all alike."""
    placements = sum(len(moves) for moves in games)
    times: dict[str, list[float]] = {name: [] for name in replays}
    for _ in range(rounds):
        for name, replay in replays.items():
            start = time.perf_counter_ns()
            for moves in games:
                replay(moves)
            times[name].append((time.perf_counter_ns() - start) / placements)
    return times


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

    games = recorded_games(max(20, args.games // 4), args.seed)
    raw_env, wrapped = tavlok.raw_env(), tavlok.env()
    times = per_placement_ns(
        {
            "raw": lambda moves: replay_raw(env, moves),
            "raw_env()": lambda moves: replay_pettingzoo(raw_env, moves),
            "env()": lambda moves: replay_pettingzoo(wrapped, moves),
        },
        games,
    )
    raw = times.pop("raw")
    print(f"decision, PyTavlok loop (observe + action_mask + step, no policy): "
          f"{statistics.median(raw) / 1000:.2f} us")
    for name, spent in times.items():
        ratio = statistics.median(t / r for t, r in zip(spent, raw, strict=True))
        print(f"decision, PettingZoo {name} (last + step, no policy): "
              f"{statistics.median(spent) / 1000:.2f} us = {ratio:.2f} x the PyTavlok loop "
              "(median of rounds)")


if __name__ == "__main__":
    main()
