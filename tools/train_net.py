"""Trains the net bot by expert iteration: the search plays, and what it searched most is taught.

    PYTHONPATH=build/python3.12:python nice -n 10 \\
        .venv/integration-python3.12/bin/python tools/train_net.py --out build/net --install

Round 1 plays --games games in which the search (--expert, "mcts:300") moves every seat after
--opening random placements. At every position it keeps the features of the candidate moves
(tavlok._core.net_features) and the playouts the search gave each (tavlok._core.mcts_visits):
the same moves in the same order, worked out by the engine code that the bot runs, so that what
the net learns from and what it sees when it plays cannot drift apart. A net is then trained to
minimise the cross-entropy between the softmax of its scores over the candidates and the search's
playouts raised to the power --sharpen, as shares. At a few hundred playouts the search spreads
them thinly (its most played move has a fifth of them on average, and moves later in greedy's
order get few because they are tried later), so the plain shares teach mostly greedy's order;
sharpened, they teach what the search ended up preferring. Each later round plays --games more
games with the last net at every seat, the search labelling every position they reach, and trains
a new net on everything gathered so far: the net learns what to do in the positions its own play
leads to, not only in the search's. The defaults are the run that made the package's net (three
rounds of 300 games, 21.6 minutes on two cores shared with other work; docs/net.md).

After each round the net plays --eval-games games against three greedy bots in tavlok.arena (seats
rotating, --opening random placements first) for its win rate with a 95% interval.

Written to --out: curve.csv (one row per epoch: the losses, how often the net's first choice is
the search's, and after each round's last epoch the win rate against greedy), round<N>.tvln,
net.tvln (the last round's) and summary.json (settings, figures, time taken). --install copies
net.tvln over the package's python/tavlok/data/net.tvln, which the next build compiles in.

The run depends only on its arguments: game g of round r draws from a generator seeded with
(--seed, r, g), the searches are seeded from it and have a budget of playouts, the data are kept
in game order whatever thread played them, and torch is seeded, restricted to deterministic
algorithms and runs on a fixed number of threads.
"""

from __future__ import annotations

import argparse
import csv
import json
import shutil
import sys
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import numpy as np
import torch

from tavlok import _core, net
from tavlok.arena import arena

CANDIDATES = _core.MAX_CANDIDATES  # the most candidates a position has
FEATURES = len(net.FEATURES)
PACKAGE_WEIGHTS = Path(__file__).resolve().parent.parent / "python" / "tavlok" / "data" / "net.tvln"


def net_bot(path: Path) -> str:
    """The name of the net bot that plays the weights at `path`, whatever the path holds."""
    return f"net:path={_core.setting_text(str(path))}"


def parse_args(argv: list[str] | None = None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--rounds", type=int, default=3, help="rounds of play and training")
    parser.add_argument("--games", type=int, default=300, help="games played each round")
    parser.add_argument("--expert", default="mcts:300", help="the search that labels positions")
    parser.add_argument("--opening", type=int, default=4, help="random placements first")
    parser.add_argument("--sharpen", type=float, default=4.0, help="targets are playouts**K")
    parser.add_argument("--hidden", type=int, nargs="*", default=[64, 32], help="hidden widths")
    parser.add_argument("--epochs", type=int, default=12, help="epochs of training each round")
    parser.add_argument("--batch", type=int, default=256, help="positions per step")
    parser.add_argument("--lr", type=float, default=2e-3, help="Adam's learning rate")
    parser.add_argument("--validation", type=int, default=10, help="every Nth game is held out")
    parser.add_argument("--threads", type=int, default=2, help="threads for play and for torch")
    parser.add_argument("--eval-games", type=int, default=400, help="games against greedy bots")
    parser.add_argument("--out", type=Path, default=Path("build/net"))
    parser.add_argument("--install", action="store_true", help="copy the net into the package")
    return parser.parse_args(argv)


def play_game(args: argparse.Namespace, round_: int, game: int, player: str | None) -> list:
    """One game, every seat played by the search (player None) or by the net bot `player`; the
    (features, playouts) of every position with a choice to make."""
    rng = np.random.Generator(np.random.PCG64([args.seed, round_, game]))

    def draw() -> int:
        return int(rng.integers(0, 2**64, dtype=np.uint64))

    state = _core.State()
    for _ in range(args.opening):
        if not state.is_terminal():
            state.apply(_core.random_action(state, draw()))
    bot = _core.NetBot(player) if player is not None else None
    samples = []
    while not state.is_terminal():
        moves, features = _core.net_features(state)
        move, searched, playouts = _core.mcts_visits(state, args.expert, draw())
        if not np.array_equal(moves, searched):
            raise RuntimeError("the search's candidates are not the net's")
        if len(moves) > 1 and playouts.sum() > 0:
            samples.append((features, playouts.astype(np.float32)))
        state.apply(move if bot is None else bot.action(state))
    return samples


def play_round(args: argparse.Namespace, round_: int, player: str | None) -> tuple[list, list]:
    """The samples of a round's games, in game order: (for training, held out)."""
    with ThreadPoolExecutor(args.threads) as pool:
        games = list(pool.map(lambda g: play_game(args, round_, g, player), range(args.games)))
    train = [s for g, samples in enumerate(games) if g % args.validation for s in samples]
    held = [s for g, samples in enumerate(games) if not g % args.validation for s in samples]
    return train, held


def tensors(samples: list, sharpen: float) -> tuple[torch.Tensor, torch.Tensor, torch.Tensor]:
    """Features (n, 64, F), the targets (n, 64): the search's playouts ** sharpen as shares, and
    which of the 64 rows are candidates (n, 64), padded past each position's candidates."""
    x = np.zeros((len(samples), CANDIDATES, FEATURES), np.float32)
    p = np.zeros((len(samples), CANDIDATES), np.float32)
    for i, (features, playouts) in enumerate(samples):
        x[i, : len(features)] = features
        # Relative to the most played, so that a high power cannot overflow.
        weights = (playouts / playouts.max()) ** sharpen
        p[i, : len(playouts)] = weights / weights.sum()
    mask = np.zeros((len(samples), CANDIDATES), bool)
    for i, (features, _) in enumerate(samples):
        mask[i, : len(features)] = True
    return torch.from_numpy(x), torch.from_numpy(p), torch.from_numpy(mask)


def make_net(hidden: list[int]) -> torch.nn.Sequential:
    layers: list[torch.nn.Module] = []
    inputs = FEATURES
    for width in hidden:
        layers += [torch.nn.Linear(inputs, width), torch.nn.ReLU()]
        inputs = width
    return torch.nn.Sequential(*layers, torch.nn.Linear(inputs, 1))


def losses(model: torch.nn.Module, x, p, mask) -> tuple[torch.Tensor, torch.Tensor]:
    """The mean cross-entropy against the search's shares, and per position whether the net's
    first choice is the search's most played move."""
    scores = model(x).squeeze(-1).masked_fill(~mask, float("-inf"))
    log_p = torch.log_softmax(scores, dim=-1).masked_fill(~mask, 0.0)
    loss = -(p * log_p).sum(dim=-1).mean()
    return loss, scores.argmax(dim=-1) == p.argmax(dim=-1)


def evaluate(model, x, p, mask, batch: int = 4096) -> tuple[float, float]:
    total, agree = 0.0, 0
    with torch.no_grad():
        for start in range(0, len(x), batch):
            end = start + batch
            loss, same = losses(model, x[start:end], p[start:end], mask[start:end])
            total += float(loss) * len(same)
            agree += int(same.sum())
    return total / len(x), agree / len(x)


def train(args, round_, train_set, held, curve, started) -> torch.nn.Sequential:
    generator = torch.Generator().manual_seed(args.seed * 1000 + round_)
    torch.manual_seed(args.seed * 1000 + round_)
    model = make_net(args.hidden)
    optimiser = torch.optim.Adam(model.parameters(), lr=args.lr)
    steps = args.epochs * ((len(train_set[0]) + args.batch - 1) // args.batch)
    schedule = torch.optim.lr_scheduler.OneCycleLR(optimiser, args.lr, total_steps=steps)
    x, p, mask = train_set
    for epoch in range(1, args.epochs + 1):
        order = torch.randperm(len(x), generator=generator)
        total = 0.0
        for start in range(0, len(x), args.batch):
            rows = order[start : start + args.batch]
            loss, _ = losses(model, x[rows], p[rows], mask[rows])
            optimiser.zero_grad()
            loss.backward()
            optimiser.step()
            schedule.step()
            total += float(loss.detach()) * len(rows)
        held_loss, agreement = evaluate(model, *held)
        row = {"round": round_, "epoch": epoch, "positions": len(x),
               "train_loss": round(total / len(x), 5), "held_out_loss": round(held_loss, 5),
               "agreement": round(agreement, 4), "seconds": round(time.time() - started, 1)}
        curve.append(row)
        print(", ".join(f"{k} {v}" for k, v in row.items()), flush=True)
    return model


def win_rate_against_greedy(args, path: Path) -> dict:
    result = arena([net_bot(path), "greedy", "greedy", "greedy"], games=args.eval_games,
                   seed=args.seed, threads=args.threads, opening=args.opening)
    low, high = result.win_rate_interval[0]
    return {"win_rate": round(float(result.win_rate[0]), 4), "win_low": round(float(low), 4),
            "win_high": round(float(high), 4)}


def main(argv: list[str] | None = None) -> int:
    args = parse_args(argv)
    args.out.mkdir(parents=True, exist_ok=True)
    torch.set_num_threads(args.threads)
    torch.use_deterministic_algorithms(True)
    started = time.time()
    curve: list[dict] = []
    train_samples: list = []
    held_samples: list = []
    player = None
    timing = {}
    for round_ in range(1, args.rounds + 1):
        play_start = time.time()
        train_new, held_new = play_round(args, round_, player)
        train_samples += train_new
        held_samples += held_new
        timing[f"round {round_} play s"] = round(time.time() - play_start, 1)
        print(f"round {round_}: {len(train_new) + len(held_new)} positions in "
              f"{timing[f'round {round_} play s']} s", flush=True)
        train_start = time.time()
        model = train(args, round_, tensors(train_samples, args.sharpen),
                      tensors(held_samples, args.sharpen), curve, started)
        timing[f"round {round_} train s"] = round(time.time() - train_start, 1)
        path = args.out / f"round{round_}.tvln"
        net.export(model, path)
        if args.eval_games:
            curve[-1].update(win_rate_against_greedy(args, path))
            print(f"round {round_}: against three greedy bots {curve[-1]}", flush=True)
        player = net_bot(path)
    shutil.copyfile(path, args.out / "net.tvln")
    with open(args.out / "curve.csv", "w", newline="") as file:
        fields = list(dict.fromkeys(key for row in curve for key in row))
        writer = csv.DictWriter(file, fields)
        writer.writeheader()
        writer.writerows(curve)
    summary = {
        "command": " ".join(sys.argv),
        "settings": {k: str(v) for k, v in vars(args).items()},
        "final": curve[-1],
        "timing": timing,
        "minutes": round((time.time() - started) / 60, 1),
    }
    (args.out / "summary.json").write_text(json.dumps(summary, indent=2) + "\n")
    if args.install:
        shutil.copyfile(args.out / "net.tvln", PACKAGE_WEIGHTS)
        print(f"installed {PACKAGE_WEIGHTS}; rebuild to compile it in")
    return 0


if __name__ == "__main__":
    sys.exit(main())
