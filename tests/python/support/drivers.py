"""Drivers the suites share: arguments converted through ``__index__``, random legal moves, the
bytes written to file descriptor 1, games replayed on the engine's own turn protocol, and the
legal actions of a vector env's observation."""

import contextlib
import os
import sys
import tempfile

import numpy as np

from _tavlok import PyTavlok


class Index:
    """Not an int: converted through __index__, which returns value or calls it."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value() if callable(self.value) else self.value

    def __repr__(self):
        return f"Index({self.value!r})"


def some_legal_move(mask, chooser):
    """The first legal move from a random place on, wrapping round; None when there is none
    (a done seat, whose turn any value passes)."""
    move = mask.find(1, chooser.randrange(len(mask)))
    if move < 0:
        move = mask.find(1)
    return None if move < 0 else move


@contextlib.contextmanager
def stdout_fd_as(fd):
    """File descriptor 1 (where the engine prints, past sys.stdout) redirected to fd."""
    sys.stdout.flush()
    saved = os.dup(1)
    os.dup2(fd, 1)
    try:
        yield
    finally:
        os.dup2(saved, 1)
        os.close(saved)


def printed_by(call):
    """call's result and the bytes it wrote to file descriptor 1, kept out of the test's output."""
    with tempfile.TemporaryFile() as sink:
        with stdout_fd_as(sink.fileno()):
            result = call()
        sink.seek(0)
        return result, sink.read()


def replayed(moves):
    """A PyTavlok that has played the grid indices moves in order, the way a training loop
    does: observing the seat to move, passing the turns of seats that are done."""
    env = PyTavlok()
    for move in moves:
        env.observe(env.agent_selection)  # a seat without moves is found done here
        while env.terminations[env.agent_selection]:
            env.step(None)
            env.observe(env.agent_selection)
        env.step(move)
    return env


def legal_lists(env, obs):
    """Every env's legal grid indices, ascending, from the observation of a tavlok vector env in
    whichever layout it has."""
    if env.mask == "indices":
        offsets, indices = obs["legal_offsets"], obs["legal_indices"]
        return [indices[offsets[i] : offsets[i + 1]] for i in range(env.num_envs)]
    mask = obs["action_mask"]
    if env.mask == "bits":
        mask = np.unpackbits(mask, axis=1)
    return [np.flatnonzero(row) for row in mask]
