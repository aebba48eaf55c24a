"""Masked PPO on tavlok's batched Gymnasium env: the parts of examples/train.py, one job each.

- ``segments``: softmax, sampling and argmax over the legal actions of many games at once, kept
  as ragged rows (offsets and indices, as the env writes them), never as 36,400 dense logits;
- ``envs``: the learner env both policies train on, built in one place;
- ``model``: the conv policy's network, scoring a game's legal placements only;
- ``scorer``: the move-scoring policy, an MLP over the env's candidate rows that exports to the
  engine's weights file and reads one back;
- ``rollout``: the sampling policy, and one rollout of it played by ``tavlok.rollout`` (the
  piece another collector replaces: ``ray_rollout`` on Ray workers);
- ``ppo``: advantages and the clipped policy-gradient update on a ``tavlok.rollout.Rollout``,
  for either network;
- ``evaluation``: the policy in ``tavlok.arena`` against the engine's bots, and the plot.
"""
