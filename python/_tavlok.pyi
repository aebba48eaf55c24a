"""Four seats place polyomino pieces on a 20 × 20 board: the game engine as a Python module."""

from typing import SupportsIndex, final

__all__ = ["PyTavlok", "PyObservation"]

@final
class PyTavlok:
    """One game. Objects belong to the thread that created them."""

    def __init__(self) -> None: ...
    def reset(self) -> None:
        """Start a new game: seat 0 to move, no piece placed."""

    def observe(self, agent_idx: SupportsIndex) -> PyObservation:
        """Seat ``agent_idx``'s view; recomputes its legal moves and may mark it done.

        A seat that has placed a piece must be observed after every move before it moves again.
        """

    def step(self, action_idx: SupportsIndex | None) -> None:
        """Play grid index ``action_idx`` (orientation × 400 + row × 20 + col) for the seat to move.

        Passes the turn of a seat that is done, whatever the value (None included). Raises
        AssertionError("Invalid action: ...") for a refused move, leaving the game unchanged.
        """

    def render(self) -> None:
        """Print the board, in seat 0's frame, to file descriptor 1."""

    @property
    def agents(self) -> list[int]: ...
    @property
    def agent_selection(self) -> int:
        """The seat to move, 0 to 3."""

    @property
    def num_actions(self) -> int:
        """Size of the flattened (orientation, row, col) action grid."""

    @property
    def action_grid_shape(self) -> tuple[int, int, int]:
        """Shape (orientation, row, col) of the action grid, in C order."""

    @property
    def terminations(self) -> list[bool]:
        """Whether each seat is done; a seat becomes done only when observed."""

    @property
    def rewards(self) -> list[int | None]:
        """The score of every agent that is done, None for the others."""

@final
class PyObservation:
    """One seat's view, made by PyTavlok.observe; it cannot be created from Python."""

    @property
    def observation(self) -> bytes:
        """The boards in (agent, row, col) order as bytes of 0/1.

        Cheap to wrap with `numpy.frombuffer`.
        """

    @property
    def action_mask(self) -> bytes:
        """The action mask as bytes of 0/1, cheap to wrap with `numpy.frombuffer`."""
