"""examples/train.py as a user runs it, on a tiny budget: the files it promises exist and hold
figures that make sense; and the pieces of its loop (a rollout, the advantages) on small cases.

These need PyTorch and matplotlib: run them with ``make test-integration``.
"""

import csv
import json
import os
import subprocess
import sys
from pathlib import Path

import gymnasium
import numpy as np
import pytest
import torch

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
sys.path.insert(0, str(EXAMPLES))

from training.model import PolicyNet  # noqa: E402
from training.ppo import advantages  # noqa: E402
from training.rollout import SamplingPolicy, Timer, collect  # noqa: E402
from training.scorer import from_weights  # noqa: E402

import tavlok  # noqa: E402  (registers tavlok/Tavlok-v0)
from tavlok import net  # noqa: E402


def train(argv):
    run = subprocess.run(
        [sys.executable, str(EXAMPLES / "train.py"), *argv],
        capture_output=True,
        text=True,
        env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)},
        timeout=600,
    )
    assert run.returncode == 0, run.stderr


# A tiny budget of each policy; the scorer also as a league, which plays its own snapshots.
TINY_RUNS = {
    "conv": ["--policy", "conv", "--channels", "8", "--blocks", "1"],
    "scorer": ["--policy", "scorer", "--widths", "16,8", "--candidates", "24"],
    "league": ["--policy", "scorer", "--widths", "8", "--league", "--league-size", "1"],
}


@pytest.mark.parametrize("policy", TINY_RUNS)
def test_a_tiny_run_writes_its_files_and_draws_the_same_curve_again(tmp_path, policy):
    out = tmp_path / "run"
    # Two threads, as the reference run: torch's sums over them must not vary from run to run.
    argv = [
        *TINY_RUNS[policy],
        "--env-steps", "1024", "--num-envs", "32", "--rollout-steps", "16", "--threads", "2",
        "--eval-games", "8", "--eval-interval", "512", "--final-eval-games", "16",
        "--minibatch", "256", "--seed", "3", "--no-progress",
    ]  # fmt: skip
    train([*argv, "--out", str(out)])

    with (out / "curve.csv").open() as file:
        curve = list(csv.DictReader(file))
    # Before training, at 512 and at 1024 env-steps, the last with the final evaluation's games.
    assert [int(row["env_steps"]) for row in curve] == [0, 512, 1024]
    assert [int(row["games"]) for row in curve] == [8, 8, 16]
    for row in curve:
        for opponent in ("random", "greedy"):
            rate, low, high = (float(row[f"{opponent}_{k}"]) for k in ("win_rate", "low", "high"))
            assert 0 <= low <= rate <= high <= 1
            assert -89 <= float(row[f"{opponent}_mean_score"]) <= 20

    summary = json.loads((out / "summary.json").read_text())
    assert summary["env_steps"] == 1024
    assert summary["command"].startswith(f"python examples/train.py {TINY_RUNS[policy][0]}")
    assert sum(summary["share"].values()) == pytest.approx(1.0)
    assert all(share > 0 for share in summary["share"].values())
    assert summary["env_steps_per_second"] > 0
    assert summary["env_only_steps_per_second"] > summary["env_steps_per_second"]
    for opponent in ("random", "greedy"):
        final = summary["final"][opponent]
        assert final["games"] == 16
        assert final["win_rate"] == pytest.approx(float(curve[-1][f"{opponent}_win_rate"]))
        low, high = final["interval"]
        assert 0 <= low <= final["win_rate"] <= high <= 1
    table = (out / "summary.md").read_text()
    assert "| 3 × random | 16 |" in table and "| 3 × greedy | 16 |" in table

    import matplotlib.pyplot as plt

    image = plt.imread(out / "learning_curve.png")
    assert image.ndim == 3 and image.shape[0] > 100 and image.shape[1] > 100
    # Not a blank canvas: the curves and axes draw in several colours.
    assert len(np.unique(image.reshape(-1, image.shape[2]), axis=0)) > 10

    weights = torch.load(out / "policy.pt")
    if policy == "conv":
        PolicyNet(channels=8, blocks=1).load_state_dict(weights)
    else:
        # The exported weights are the scoring layers of the saved policy, and the engine
        # plays them.
        scorer = from_weights(net.read(out / "policy.tvln"))
        assert all(torch.equal(weights[key], value) for key, value in scorer.score.state_dict(
            prefix="score.").items())
        # The file left behind is the policy the last evaluation measured.
        replay = tavlok.arena(
            [f"net:path={out / 'policy.tvln'}", *["greedy"] * 3],
            games=16, seed=1003, threads=2, opening=2,
        )  # fmt: skip
        assert replay.win_rate[0] == pytest.approx(float(curve[-1]["greedy_win_rate"]))
    if policy == "league":
        # A snapshot at every evaluation; the pool has the last one from the next update on.
        assert sorted(path.name for path in (out / "league").iterdir()) == [
            "0.tvln", "1024.tvln", "512.tvln"
        ]

    # The same command again: the same curve, from the same weights.
    again = tmp_path / "again"
    train([*argv, "--out", str(again)])
    assert (again / "curve.csv").read_bytes() == (out / "curve.csv").read_bytes()
    weights_again = torch.load(again / "policy.pt")
    assert all(torch.equal(weights[key], weights_again[key]) for key in weights)
    if policy != "conv":
        assert (again / "policy.tvln").read_bytes() == (out / "policy.tvln").read_bytes()


def test_a_rollout_lines_up_choices_rewards_and_finished_games():
    env = gymnasium.make_vec(
        "tavlok/Tavlok-v0",
        num_envs=8,
        vectorization_mode="vector_entry_point",
        opponents="random",
        mask="indices",
        autoreset_mode="SameStep",
        num_threads=1,
    )
    obs, _ = env.reset(seed=11)
    torch.manual_seed(0)
    policy = SamplingPolicy(PolicyNet(channels=8, blocks=1), torch.Generator().manual_seed(1))
    timer = Timer()
    rollout, last_value, _ = collect(env, obs, policy, 60, timer)
    env.close()

    assert rollout.actions.shape == (60, 8) and last_value.shape == (8,)
    assert timer.env > 0 and timer.policy > 0
    choice = rollout.extras["choice"]
    for t in range(60):
        for e in range(8):
            legal = rollout.legal(t, e)
            assert len(legal) > 0  # every sample is a decision with legal moves
            # The sampled entry of the row is the move played.
            assert legal[choice[t, e]] == rollout.actions[t, e]
    assert (rollout.log_probs <= 0).all()
    # 60 learner moves: every env finished at least two games (a game has at most 21).
    assert rollout.terminations.sum(axis=0).min() >= 2
    # The score reward is paid at the step that ends a game, and only then.
    done = rollout.terminations
    assert (rollout.rewards[~done] == 0).all()
    mine = rollout.ended_scores[np.arange(len(rollout.ended_seat)), rollout.ended_seat]
    assert sorted(rollout.rewards[done].tolist()) == sorted(mine.tolist())
    assert len(rollout.ended_wins) == int(done.sum())
    assert ((0 <= rollout.ended_wins) & (rollout.ended_wins <= 1)).all()


def test_advantages_stop_at_the_end_of_a_game():
    # Three steps of two envs; env 0's game ends at its second step.
    value = np.array([[0.5, 0.1], [0.2, 0.2], [0.3, 0.3]], dtype=np.float32)
    reward = np.array([[0, 0], [1, 0], [0, 0]], dtype=np.float32)
    done = np.array([[False, False], [True, False], [False, False]])
    last_value = np.array([0.4, 1.0], dtype=np.float32)
    advantage, returns = advantages(reward, value, done, last_value, gamma=1.0, lam=0.5)
    # By hand: env 0: 0.1 at step 2; 1 - 0.2 = 0.8 at step 1, which does not look past the end;
    # 0.2 - 0.5 + 0.5 * 0.8 = 0.1 at step 0. Env 1: 0.7; 0.1 + 0.35 = 0.45; 0.1 + 0.225.
    np.testing.assert_allclose(advantage, [[0.1, 0.325], [0.8, 0.45], [0.1, 0.7]], rtol=1e-6)
    np.testing.assert_allclose(returns, advantage + value, rtol=1e-6)
