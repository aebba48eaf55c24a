"""tools/train_net.py on a tiny budget, and tavlok.net.export: what PyTorch trains is what the
engine plays.

These need PyTorch: run them with ``make test-integration``.
"""

import csv
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import torch

from tavlok import _core, net

TOOLS = Path(__file__).resolve().parents[2] / "tools"


def test_an_exported_module_scores_in_the_engine_as_in_torch(tmp_path):
    torch.manual_seed(0)
    module = torch.nn.Sequential(
        torch.nn.Linear(len(net.FEATURES), 12), torch.nn.ReLU(), torch.nn.Linear(12, 1)
    )
    path = tmp_path / "exported.tvln"
    net.export(module, path)
    state = _core.State()
    for pick in (5, 3, 40):
        state.apply(state.legal_actions()[pick])
    _, features = _core.net_features(state)
    with torch.no_grad():
        expected = module(torch.from_numpy(features)).squeeze(-1).numpy()
    _, scores = _core.NetBot(f"net:path={path}").scores(state)
    np.testing.assert_allclose(scores, expected, rtol=1e-5, atol=1e-6)


def test_a_tiny_run_is_the_same_run_for_the_same_seed(tmp_path):
    def run(out):
        argv = ["--games", "3", "--rounds", "2", "--epochs", "1", "--expert", "mcts:16",
                "--hidden", "8", "--eval-games", "4", "--validation", "3", "--threads", "2",
                "--seed", "5", "--out", str(out)]  # fmt: skip
        env = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}
        script = [sys.executable, str(TOOLS / "train_net.py")]
        subprocess.run(script + argv, env=env, check=True, stdout=subprocess.DEVNULL, timeout=600)
        return (out / "net.tvln").read_bytes()

    first = run(tmp_path / "a")
    assert run(tmp_path / "b") == first
    assert _core.bot_name(f"net:path={tmp_path / 'a' / 'net.tvln'}").startswith("net:path=")
    with (tmp_path / "a" / "curve.csv").open() as file:
        curve = list(csv.DictReader(file))
    assert [(row["round"], row["epoch"]) for row in curve] == [("1", "1"), ("2", "1")]
    assert all(0 <= float(row["win_rate"]) <= 1 for row in curve)
