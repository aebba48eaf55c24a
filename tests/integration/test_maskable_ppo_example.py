"""examples/maskable_ppo.py end to end on a tiny budget: it trains, plays its arena and writes
figures that agree with each other, and the same seed writes the same figures again.

These need PyTorch and sb3-contrib: run them with ``make test-integration``.
"""

import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

SCRIPT = Path(__file__).resolve().parents[2] / "examples" / "maskable_ppo.py"
GAMES = 12


def run(out: Path) -> dict:
    subprocess.run(
        [sys.executable, str(SCRIPT), "--timesteps", "256", "--n-envs", "2", "--n-steps", "64",
         "--candidates", "16", "--keys", "candidate_features,hands", "--reward", "win",
         "--eval-games", str(GAMES), "--out", str(out)],
        check=True,
        capture_output=True,
        env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)},
    )
    return json.loads(out.read_text())


def test_a_tiny_run_writes_consistent_figures_and_replays_from_its_seed(tmp_path):
    first = run(tmp_path / "first.json")
    assert first["games"] == GAMES
    assert first["env_steps"] >= 256
    assert 0 <= first["win_rate_low"] <= first["win_rate"] <= first["win_rate_high"] <= 1
    # The learner's and the three greedy bots' shares are the whole of every game's win.
    assert first["win_rate"] + sum(first["greedy_win_rates"]) == pytest.approx(1)
    assert -89 <= first["mean_score"] <= 20
    second = run(tmp_path / "second.json")
    timings = {"train_seconds", "eval_seconds"}
    assert {k: v for k, v in second.items() if k not in timings} == {
        k: v for k, v in first.items() if k not in timings
    }
