import os

import pytest

from _tavlok import PyTavlok
from support import rules
from support.drivers import printed_by, stdout_fd_as

STALE, NOT_AVAILABLE = rules.STALE, rules.NOT_AVAILABLE


def board_text(occupied=None):
    """The rendered board; occupied maps (row, col) in seat 0's frame to the seat holding it."""
    return rules.board_text(lambda row, col: (occupied or {}).get((row, col)))


def rendered(env):
    """The bytes that env.render() writes to file descriptor 1."""
    result, printed = printed_by(env.render)
    assert result is None
    return printed


def assert_fresh(env):
    assert (env.agents, env.agent_selection) == ([0, 1, 2, 3], 0)
    assert (env.terminations, env.rewards) == ([False] * 4, [None] * 4)
    assert env.action_grid_shape == (env.num_actions // 400, 20, 20)
    assert env.num_actions % 400 == 0 and env.num_actions == PyTavlok().num_actions


def test_new_and_reset_environments(env):
    assert_fresh(env)
    for _ in range(3):
        env.step(0)
    assert env.reset() is None
    assert_fresh(env)
    assert env.observe(0).observation == bytes(1600)


def test_refused_moves_change_nothing(env):
    for action in [None, env.num_actions, 2**64 - 1]:
        with pytest.raises(AssertionError) as info:
            env.step(action)
        assert info.value.args == (NOT_AVAILABLE,)
    # First moves need no observation; later ones need a fresh one of the seat that moves.
    for _ in range(4):
        env.step(0)
    env.observe(1)
    with pytest.raises(AssertionError) as info:
        env.step(0)
    assert info.value.args == (STALE,) and env.agent_selection == 0
    env.step(env.observe(0).action_mask.index(1))
    assert env.agent_selection == 1


def test_internal_failure_leaves_the_environment_usable(env, panic_exception):
    for seat in [4, 2**64 - 1]:
        with pytest.raises(panic_exception):
            env.observe(seat)
    assert_fresh(env)


def test_render_writes_the_board_to_file_descriptor_1(env):
    assert len(board_text()) == 4263 and board_text().count("\n") == 40
    assert rendered(env) == (board_text() + "\n").encode()
    for _ in range(4):
        env.step(0)  # every seat: the one-cell piece on its own start corner
    corners = {(0, 0): 0, (0, 19): 1, (19, 19): 2, (19, 0): 3}
    assert rendered(env) == (board_text(corners) + "\n").encode()


def test_failed_render_is_an_internal_failure(env, panic_exception):
    read_only = os.open(os.devnull, os.O_RDONLY)
    try:
        with stdout_fd_as(read_only), pytest.raises(panic_exception) as info:
            env.render()
    finally:
        os.close(read_only)
    assert info.value.args[0].startswith("failed printing to stdout: ")
    assert rendered(env) == (board_text() + "\n").encode()


def test_whole_game_with_first_legal_moves(env):
    for _ in range(1000):
        if all(env.terminations):
            break
        assert [r is None for r in env.rewards] == [not done for done in env.terminations]
        seat = env.agent_selection
        mask = env.observe(seat).action_mask
        if env.terminations[seat]:
            assert mask == bytes(env.num_actions)
            env.step(None)  # a done seat only passes
        else:
            env.step(mask.index(1))
        assert env.agent_selection == (seat + 1) % 4
    assert all(env.terminations)
    for seat, reward in enumerate(env.rewards):
        # Minus the cells still in hand, of the 89 each seat starts with; 15 or 20 for none.
        placed = sum(env.observe(seat).observation[:400])
        assert reward in ([placed - 89] if placed < 89 else [15, 20])
        assert -88 <= reward <= -1 or reward in (15, 20)
