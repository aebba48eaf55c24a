"""The move-scoring policy of examples/train.py and the engine: what the scorer's argmax picks is
the move the engine plays from its exported weights, and a weights file reads back into the same
scorer; and PPO scores a rollout's samples as the collecting policy did.

These need PyTorch: run them with ``make test-integration``.
"""

import sys
from pathlib import Path

import numpy as np
import pytest
import torch

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "examples"))

from training import scorer  # noqa: E402
from training.envs import learner_options, make_envs  # noqa: E402
from training.rollout import Timer, collect  # noqa: E402

from tavlok import _core, net  # noqa: E402


@pytest.mark.parametrize("widths", [[32], [24, 16, 8]])
def test_the_engine_plays_the_exported_scorers_argmax_at_every_position(
    tmp_path, widths, one_torch_thread
):
    torch.manual_seed(len(widths))
    module = scorer.CandidateScorer(widths)
    with torch.no_grad():  # scores as far apart as a trained policy's, not near-uniform ones
        module.score[-1].weight.normal_()
    path = tmp_path / "scorer.tvln"
    scorer.export(module, path)
    engine = _core.NetBot(f"net:path={path}")
    loaded = scorer.from_weights(net.read(path))
    assert loaded.widths == widths
    rng = np.random.default_rng(7)
    positions = 0
    for _ in range(3):  # three games of random moves, every position of each
        state = _core.State()
        while not state.is_terminal():
            moves, features = _core.net_features(state)
            rows = torch.from_numpy(features)[None]
            present = torch.ones(rows.shape[:2], dtype=torch.bool)
            with torch.no_grad():
                logits = module(rows, present)[0]
                assert torch.equal(loaded(rows, present)[0], logits)
            assert engine.action(state) == moves[int(logits.argmax())]
            positions += 1
            state.apply(_core.random_action(state, int(rng.integers(2**63)) * 2))
    assert positions > 150


def test_ppo_scores_a_rollouts_samples_as_the_collecting_scorer_did(one_torch_thread):
    torch.manual_seed(0)
    module = scorer.CandidateScorer([16])
    options = learner_options("greedy", "win", opening=2, candidates=12)
    envs = make_envs(8, 1, **options)
    obs, _ = envs.reset(seed=5)
    sampler = scorer.SamplingScorer(module, torch.Generator().manual_seed(1))
    rollout, last_value, _ = collect(envs, obs, sampler, 30, Timer())
    envs.close()
    # Every sample picked a candidate present in its position.
    mask = rollout.action_mask != 0
    picked = np.take_along_axis(mask, rollout.actions[..., None].astype(np.int64), 2)
    assert picked.all() and mask.sum(2).max() <= 12
    assert rollout.terminations.any()
    rows = torch.arange(rollout.actions.size)
    log_prob, value, entropy_of = module.evaluator(rollout)(rows)
    entropy = entropy_of()
    # Before any update PPO's ratio is exactly 1: the same rows, mask and choices line up.
    np.testing.assert_allclose(log_prob.detach().numpy(), rollout.log_probs.reshape(-1), atol=1e-6)
    np.testing.assert_allclose(
        value.detach().numpy(), rollout.extras["value"].reshape(-1), atol=1e-6
    )
    # Entropy over the candidates present only: at most log of their number, and finite.
    bound = np.log(mask.reshape(-1, mask.shape[2]).sum(1))
    assert (entropy.detach().numpy() <= bound + 1e-5).all()


def test_padding_past_the_candidates_changes_neither_the_policy_nor_the_value():
    torch.manual_seed(2)
    module = scorer.CandidateScorer([16, 8])
    state = _core.State()
    for pick in (3, 30, 7, 12):
        state.apply(state.legal_actions()[pick])
    _, features = _core.net_features(state)
    count = len(features)
    # The same position padded to two widths, the padding filled with noise.
    outputs = []
    for width in (count, 64):
        rows = torch.rand(1, width, features.shape[1])
        rows[0, :count] = torch.from_numpy(features)
        mask = torch.arange(width)[None] < count
        with torch.no_grad():
            logits, value = module(rows, mask)
        assert torch.isinf(logits[0, count:]).all()
        outputs.append((logits[0, :count], value))
    torch.testing.assert_close(outputs[0], outputs[1])
