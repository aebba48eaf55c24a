"""Plays a game with the tavlok that pip installed: tools/test-wheel.sh runs it in a fresh
environment, from outside the source tree, after installing the repaired wheel there.

Both extensions must come from the environment's site-packages, and they must agree: a seeded
random game played move by move on _tavlok.PyTavlok, then replayed on tavlok.State, ends with the
same four scores.
"""

import pathlib
import random
import sys
import sysconfig

import numpy as np

import _tavlok
import tavlok
import tavlok._core

site = pathlib.Path(sysconfig.get_path("platlib")).resolve()
for module in (_tavlok, tavlok, tavlok._core):
    where = pathlib.Path(module.__file__).resolve()
    if site not in where.parents:
        sys.exit(f"{module.__name__} was imported from {where}, not from {site}")

env = _tavlok.PyTavlok()
pick = random.Random(int(sys.argv[1]) if len(sys.argv) > 1 else 1)
placed = []
while not all(env.terminations):
    seat = env.agent_selection
    mask = np.frombuffer(env.observe(seat).action_mask, dtype=np.uint8)
    legal = np.flatnonzero(mask)
    # A seat that cannot move is passed with any value.
    action = int(pick.choice(legal)) if len(legal) else None
    env.step(action)
    if action is not None:
        placed.append(action)

replayed = tavlok.State.from_history(placed)
if not replayed.is_terminal() or list(replayed.scores()) != env.rewards:
    sys.exit(f"_tavlok scored {env.rewards}, tavlok.State {replayed.scores()}")
print(f"played {len(placed)} placements with the installed wheel: scores {env.rewards}")
