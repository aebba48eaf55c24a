"""examples/train.py --ray: the workers' rollouts merged into the one Rollout that PPO reads, and a
tiny run on a local cluster. Needs PyTorch and Ray: run with ``make test-integration``."""

import json
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

pytest.importorskip("ray")
torch = pytest.importorskip("torch")

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
sys.path.insert(0, str(EXAMPLES))

from training.model import PolicyNet  # noqa: E402
from training.ray_rollout import WorkerPolicy, merge, next_obs  # noqa: E402

from tavlok.gym_vector import LearnerVectorEnv  # noqa: E402
from tavlok.ray import play_rollout  # noqa: E402


def worker_rollouts(workers, envs, steps):
    """What RolloutWorkers would return, played here: one env and policy copy per worker."""
    torch.manual_seed(0)
    policy = WorkerPolicy(PolicyNet(4, 1))
    parts = []
    for w in range(workers):
        env = LearnerVectorEnv(envs, mask="indices", autoreset_mode="SameStep", num_threads=1)
        obs, _ = env.reset(seed=w)
        policy.seed(w)
        parts.append(play_rollout(env, obs, policy, steps, worker=w)[0])
    return parts


def test_merged_rollout_lists_each_workers_decisions_step_by_step():
    parts = worker_rollouts(workers=2, envs=3, steps=24)
    merged = merge(parts)
    assert merged.num_envs == 6 and merged.samples == 6 * 24
    assert len(merged.offsets) == merged.samples + 1 and merged.offsets[-1] == len(merged.indices)
    for t in range(24):
        for w, part in enumerate(parts):
            for e in range(3):
                s = t * 6 + w * 3 + e
                np.testing.assert_array_equal(merged.planes[s], part.observation[t, e])
                np.testing.assert_array_equal(merged.hands[s], part.hands[t, e])
                row = merged.indices[merged.offsets[s] : merged.offsets[s + 1]]
                np.testing.assert_array_equal(row, part.legal(t, e))
                # The sampled entry of the row is the move the worker played.
                assert row[merged.choice[s]] == part.actions[t, e]
                assert merged.log_prob[s] == part.log_probs[t, e] <= 0
                assert merged.value[s] == part.extras["value"][t, e]
                assert merged.reward[s] == part.rewards[t, e]
                assert merged.done[s] == part.terminations[t, e]
    ended = sum(len(part.ended_step) for part in parts)
    assert ended == merged.done.sum() == len(merged.finished_wins) == len(merged.finished_scores)
    assert ended > 0
    # A game's reward (the score) is the learner's final score, listed among the finished.
    assert sorted(merged.finished_scores) == sorted(merged.reward[merged.done].astype(int))

    after = next_obs(parts)
    assert after["observation"].shape == (6, 4, 20, 20)
    for w, part in enumerate(parts):
        for e in range(3):
            first, last = after["legal_offsets"][w * 3 + e], after["legal_offsets"][w * 3 + e + 1]
            part_offsets = part.next_obs["legal_offsets"]
            np.testing.assert_array_equal(
                after["legal_indices"][first:last],
                part.next_obs["legal_indices"][part_offsets[e] : part_offsets[e + 1]],
            )


def train(argv):
    """examples/train.py run as a user runs it, with this interpreter and path."""
    return subprocess.run(
        [sys.executable, str(EXAMPLES / "train.py"), *argv],
        capture_output=True,
        text=True,
        env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)},
        timeout=600,
    )


def test_a_tiny_ray_run_trains_and_reports(tmp_path):
    out = tmp_path / "run"
    argv = [
        "--env-steps", "512", "--num-envs", "16", "--rollout-steps", "16", "--threads", "1",
        "--eval-games", "4", "--eval-interval", "512", "--final-eval-games", "8",
        "--channels", "4", "--blocks", "1", "--minibatch", "128", "--seed", "2",
        "--out", str(out), "--no-progress", "--ray", "--ray-workers", "2",
    ]  # fmt: skip
    run = train(argv)
    assert run.returncode == 0, run.stderr
    summary = json.loads((out / "summary.json").read_text())
    assert summary["env_steps"] == 512
    assert summary["command"].endswith("--ray --ray-workers 2")
    assert {"random", "greedy"} <= set(summary["final"])
    assert (out / "policy.pt").exists()

    odd = train([*argv[:-1], "3"])
    assert odd.returncode != 0 and "multiple of --ray-workers" in odd.stderr
