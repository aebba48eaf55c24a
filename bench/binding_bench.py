"""What a call into tavlok._core costs from Python: the binding's overhead on top of the engine.

Times, as the median of several repeats, the calls a tree search makes on a mid-game State
(clone, legal_actions, clone + apply, observation), two calls that do almost nothing in the engine
(is_terminal, the seat property), which show the cost of crossing the binding alone, and a
one-env VectorEnv's reset + step of the same opening move, whose engine work is a few hundred
nanoseconds. bench/search_bench.cpp times the same State work without Python (make bench), so
the difference is what the binding adds.
"""

import argparse
import statistics
import timeit

import numpy as np

from tavlok import State, VectorEnv, bots


def mid_game(placements: int, seed: int) -> State:
    """A position after `placements` seeded random moves."""
    state, bot = State(), bots.Random(seed)
    while not state.is_terminal() and len(state.history) < placements:
        state.apply(bot(state))
    return state


def per_call_ns(statement: str, namespace: dict, repeat: int, number: int) -> float:
    times = timeit.repeat(statement, globals=namespace, repeat=repeat, number=number)
    return statistics.median(times) / number * 1e9


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--placements", type=int, default=40)
    parser.add_argument("--seed", type=int, default=7)
    parser.add_argument("--repeat", type=int, default=15, help="repeats per figure; medians shown")
    parser.add_argument("--number", type=int, default=20_000, help="calls per repeat")
    args = parser.parse_args()

    state = mid_game(args.placements, args.seed)
    legal = state.legal_actions()
    # A Python int, as a policy that picks from a list would pass; the numpy scalar case is the
    # separate apply(numpy.intp) row.
    single = VectorEnv(1, num_threads=1, seed=0)
    opening = np.array([State().legal_actions()[0]])
    namespace = {
        "state": state,
        "action": int(legal[len(legal) // 2]),
        "np_action": legal[0],
        "single": single,
        "opening": opening,
    }
    print(
        f"State after {len(state.history)} placements: seat {state.seat} to move, "
        f"{len(legal)} legal moves; median of {args.repeat} x {args.number} calls"
    )
    rows = [
        ("is_terminal()", "state.is_terminal()"),
        ("seat (property)", "state.seat"),
        ("clone()", "state.clone()"),
        ("legal_actions()", "state.legal_actions()"),
        ("clone() + apply(int)", "state.clone().apply(action)"),
        ("clone() + apply(numpy.intp)", "state.clone().apply(np_action)"),
        ("observation()", "state.observation()"),
        ("VectorEnv(1): reset() + step()", "single.reset(); single.step(opening)"),
    ]
    clone_ns = None
    for name, statement in rows:
        ns = per_call_ns(statement, namespace, args.repeat, args.number)
        if statement == "state.clone()":
            clone_ns = ns
        extra = ""
        if clone_ns is not None and statement.startswith("state.clone().apply"):
            extra = f"   (apply alone about {ns - clone_ns:,.0f} ns)"
        print(f"{name:<30}{ns:>10,.0f} ns{extra}")


if __name__ == "__main__":
    main()
