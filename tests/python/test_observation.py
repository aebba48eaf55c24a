def ones(data):
    return [i for i, byte in enumerate(data) if byte]


def test_fresh_observation_and_copies(env):
    observation = env.observe(0)
    assert observation.observation == bytes(1600)
    mask = observation.action_mask
    assert len(mask) == env.num_actions and set(mask) == {0, 1} and mask[0] == 1
    assert observation.action_mask == mask and observation.action_mask is not mask


def test_planes_show_the_board_in_the_observers_frame(env):
    env.step(0)  # seat 0: the one-cell piece on its start corner
    where = {0: (0, 0, 0), 1: (3, 19, 0), 2: (2, 19, 19), 3: (1, 0, 19)}  # plane, row, col
    for seat, (plane, row, col) in where.items():
        planes = env.observe(seat).observation
        assert set(planes) <= {0, 1} and ones(planes) == [plane * 400 + row * 20 + col]


def test_snapshot_outlives_moves_reset_and_the_environment(env):
    before = env.observe(0)
    planes, mask = before.observation, before.action_mask
    env.step(0)
    after = env.observe(0)
    assert (after.observation, after.action_mask) != (planes, mask)
    env.reset()
    del env
    assert (before.observation, before.action_mask) == (planes, mask)
    assert ones(after.observation) == [0]
