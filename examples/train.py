"""Masked PPO for one learner seat against three of the engine's bots, on the batched env.

    python examples/train.py --policy scorer --out build/train
    python examples/train.py --policy conv --env-steps 300000 --out build/train

The learner plays ``gymnasium.make_vec("tavlok:tavlok/Tavlok-v0", ...)`` (``training.envs``).
Two policies. ``--policy conv`` (the default) plays ``mask="indices"``: the env hands out each
game's legal grid indices as ragged rows, a small convolutional net over the planes scores only
those, and the softmax, sampling and argmax run per row (``training.segments``). ``--policy
scorer`` plays ``mask="candidates"``: the env hands out the seat's candidates (at most
``--candidates``, in greedy's order) with the engine's feature row of each, an MLP scores each
row alone, and the action is a candidate's number (``training.scorer``); its scoring layers are
a net the engine plays, so every evaluation exports them as ``policy.tvln``. ``--league`` (scorer)
trains against a pool of those snapshots and greedy, changed between steps with
``envs.set_opponents``.

Every ``--eval-interval`` env-steps the policy (argmax; the scorer as its exported weights, in
the engine) plays ``tavlok.arena`` against three random and three greedy bots, seats rotating.

Written to ``--out`` at every evaluation, so that a run stopped early leaves its last policy:
``curve.csv`` (win rates with 95% intervals over env-steps), ``learning_curve.png`` and
``policy.pt`` (the network's weights), and ``policy.tvln`` for the scorer; at the end,
``summary.json`` (final figures, throughput, where the time went, the command) and
``summary.md`` (the same as a table).
"""

from __future__ import annotations

import argparse
import csv
import json
import shlex
import sys
import time
from pathlib import Path
from typing import Any

import numpy as np
import torch
from training import scorer
from training.envs import learner_options, make_envs
from training.evaluation import ArgmaxPolicy, evaluate, plot
from training.model import PolicyNet
from training.ppo import Settings, update
from training.rollout import SamplingPolicy, Timer, collect

import tavlok
from tavlok import _core

EVAL_OPPONENTS = ("random", "greedy")
# The options whose default depends on the policy: the conv policy's are those of its reference
# run; the scorer's, what learnt fastest in short runs (docs/training.md).
POLICY_DEFAULTS: dict[str, dict[str, Any]] = {
    "conv": {"env_steps": 300_000, "lr": 3e-4, "anneal": "none", "reward": "score", "opening": 0},
    "scorer": {
        "env_steps": 600_000,
        "lr": 3e-3,
        "anneal": "linear",
        "reward": "score",
        "opening": 2,
    },
}


def parse_args(argv: list[str] | None = None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        description=__doc__.split("\n\n")[0],
        epilog="Without --ray, the same command on the same machine draws the same curve: every "
        "generator is seeded from --seed, and torch runs deterministic kernels on "
        "--torch-threads threads.",
    )
    count = {"type": int, "metavar": "N"}
    by_policy = {
        key: ", ".join(f"{policy} {defaults[key]}" for policy, defaults in POLICY_DEFAULTS.items())
        for key in POLICY_DEFAULTS["conv"]
    }
    parser.add_argument(
        "--policy",
        choices=tuple(POLICY_DEFAULTS),
        default="conv",
        help="conv: a convolutional net over the planes, scoring the legal grid indices; scorer: "
        "an MLP scoring each candidate's feature row, exported as the engine's weights "
        "(%(default)s)",
    )
    parser.add_argument(
        "--env-steps",
        **count,
        help="learner env-steps to train for; the run stops at the first update that reaches "
        f"them ({by_policy['env_steps']})",
    )
    parser.add_argument(
        "--num-envs",
        **count,
        default=128,
        help="games the learner plays side by side (%(default)s)",
    )
    parser.add_argument(
        "--threads",
        **count,
        default=2,
        help="threads of the env and the evaluation arena, and of the conv policy's torch "
        "(%(default)s)",
    )
    parser.add_argument(
        "--torch-threads",
        **count,
        help="torch's threads; its sums, and so the curve, depend on them (conv: --threads; "
        "scorer: 1, whose small matrices gain nothing from a second thread on a busy machine)",
    )
    parser.add_argument(
        "--seed",
        type=int,
        default=0,
        metavar="SEED",
        help="seeds the network's weights, numpy and the envs (SEED), sampling (SEED+1), "
        "minibatch order (SEED+2) and the evaluation games (SEED+1000) (%(default)s)",
    )
    parser.add_argument(
        "--out",
        type=Path,
        default=Path("build/train"),
        metavar="DIR",
        help="where to write curve.csv, learning_curve.png, summary.json, summary.md, policy.pt "
        "and the scorer's policy.tvln (%(default)s)",
    )
    parser.add_argument(
        "--eval-games",
        **count,
        default=200,
        help="games against each opponent at every evaluation (%(default)s)",
    )
    parser.add_argument(
        "--eval-interval",
        **count,
        default=50_000,
        help="learner env-steps between evaluations (%(default)s)",
    )
    parser.add_argument(
        "--final-eval-games",
        **count,
        default=1000,
        help="games against each opponent at the last evaluation, which gives the reported "
        "figures (%(default)s)",
    )
    parser.add_argument(
        "--eval-opening",
        **count,
        default=2,
        help="random placements that begin every evaluation game, so that bots that draw nothing "
        "at random meet in many positions (%(default)s)",
    )
    parser.add_argument(
        "--opponents",
        default="greedy",
        metavar="BOT[,BOT,BOT]",
        help="the learner's three opponents while training, one bot name for all or three; an "
        "mcts with a budget in ms makes the run depend on the machine's speed (%(default)s)",
    )
    parser.add_argument(
        "--reward",
        choices=("score", "win"),
        help="the learner's reward when its game ends: its score (scaled by 1/89), or its share "
        f"of the win ({by_policy['reward']})",
    )
    parser.add_argument(
        "--opening",
        **count,
        help="random placements that begin every training game, so that the learner meets "
        f"bots that draw nothing at random in many positions ({by_policy['opening']})",
    )
    parser.add_argument(
        "--rollout-steps", **count, default=16, help="steps per env between updates (%(default)s)"
    )
    parser.add_argument(
        "--lr", type=float, help=f"Adam's learning rate ({by_policy['lr']})"
    )
    parser.add_argument(
        "--anneal",
        choices=("none", "linear"),
        help="the learning rate over the run: constant, or falling linearly to 0 at --env-steps "
        f"({by_policy['anneal']})",
    )
    parser.add_argument(
        "--entropy",
        type=float,
        default=0.01,
        help="weight of the policy's entropy in the loss (%(default)s)",
    )
    parser.add_argument(
        "--epochs", **count, default=3, help="PPO epochs over each rollout (%(default)s)"
    )
    parser.add_argument(
        "--minibatch", **count, default=1024, help="samples per PPO minibatch (%(default)s)"
    )
    parser.add_argument(
        "--channels", **count, default=16, help="channels of the network's layers (%(default)s)"
    )
    parser.add_argument(
        "--blocks",
        **count,
        default=2,
        help="residual convolutions after the first convolution (%(default)s)",
    )
    parser.add_argument(
        "--widths",
        default="64,64",
        metavar="W[,W...]",
        help="the scorer's hidden layer widths, at least one, as many and as wide as the "
        "engine's weights file takes (%(default)s)",
    )
    parser.add_argument(
        "--candidates",
        **count,
        default=_core.MAX_CANDIDATES,
        help="the scorer's candidates per position, the first in greedy's order (%(default)s)",
    )
    parser.add_argument(
        "--league",
        action="store_true",
        help="scorer: after every evaluation, train against a pool of greedy and the last "
        "--league-size exported snapshots, drawn per game and per seat",
    )
    parser.add_argument(
        "--league-size", **count, default=4, help="snapshots in the pool (%(default)s)"
    )
    parser.add_argument(
        "--league-greedy",
        type=float,
        default=0.5,
        metavar="SHARE",
        help="greedy's share of the pool, the snapshots sharing the rest (%(default)s)",
    )
    parser.add_argument("--no-progress", action="store_true", help="show no progress bar")
    parser.add_argument(
        "--ray",
        action="store_true",
        help="collect on Ray workers (tavlok.ray.RolloutWorkers), --num-envs split between them, "
        "on the cluster ray.init() finds (a local one by default)",
    )
    parser.add_argument(
        "--ray-workers", **count, default=2, help="rollout workers with --ray (%(default)s)"
    )
    args = parser.parse_args(argv)
    for key, value in POLICY_DEFAULTS[args.policy].items():
        if getattr(args, key) is None:
            setattr(args, key, value)
    if args.torch_threads is None:
        args.torch_threads = args.threads if args.policy == "conv" else 1
    if args.league and args.policy != "scorer":
        parser.error("--league trains the scorer against its exported snapshots: add --policy scorer")
    if args.ray and args.policy != "conv":
        parser.error("--ray collects for the conv policy only")
    return args


class PlainProgress:
    """A progress line for when tqdm is not installed."""

    def __init__(self, total: int) -> None:
        self.total, self.done, self.start, self.shown = total, 0, time.perf_counter(), -1

    def update(self, count: int) -> None:
        self.done += count
        percent = min(100, 100 * self.done // self.total)
        if percent != self.shown:
            self.shown = percent
            rate = self.done / max(time.perf_counter() - self.start, 1e-9)
            print(f"\r{percent:3d}% {self.done}/{self.total} env-steps, {rate:.0f}/s", end="")
            sys.stdout.flush()

    def set_postfix_str(self, text: str) -> None:
        pass

    def write(self, line: str) -> None:
        print(f"\r{line}", flush=True)

    def close(self) -> None:
        print()


def progress_bar(total: int, enabled: bool) -> Any:
    if not enabled:
        return None
    try:
        from tqdm import tqdm
    except ModuleNotFoundError:
        return PlainProgress(total)
    return tqdm(total=total, unit="step", unit_scale=True, smoothing=0.05)


def main(argv: list[str] | None = None) -> dict[str, Any]:
    args = parse_args(argv)
    args.out.mkdir(parents=True, exist_ok=True)
    # Reproducible: every generator seeded from --seed, kernels whose sums do not depend on how
    # threads happen to meet (the backward of an indexed gather accumulates in any order
    # otherwise), and as many threads as the command says, whatever the machine has.
    torch.manual_seed(args.seed)
    np.random.seed(args.seed)
    torch.use_deterministic_algorithms(True)
    torch.set_num_threads(args.torch_threads)
    # The engine's grammar splits the list, so that a bot's settings after a comma stay its own.
    opponents = _core.bot_names(args.opponents)
    sampling = torch.Generator().manual_seed(args.seed + 1)
    if args.policy == "scorer":
        net: Any = scorer.CandidateScorer([int(width) for width in args.widths.split(",")])
        policy: Any = scorer.SamplingScorer(net, sampling)
        candidates: int | None = args.candidates
    else:
        net = PolicyNet(args.channels, args.blocks)
        policy = SamplingPolicy(net, sampling)
        candidates = None
    env_options = learner_options(
        opponents[0] if len(opponents) == 1 else opponents, args.reward, args.opening, candidates
    )
    optimiser = torch.optim.Adam(net.parameters(), lr=args.lr)
    # Scores run from -89 to 20: scaled to about [-1, 0.2] for the value head.
    reward_scale = 1 / 89 if args.reward == "score" else 1.0
    settings = Settings(
        epochs=args.epochs,
        minibatch=args.minibatch,
        reward_scale=reward_scale,
        entropy_coef=args.entropy,
    )
    shuffle = torch.Generator().manual_seed(args.seed + 2)

    curve: list[dict[str, float]] = []
    timer, update_seconds, eval_seconds = Timer(), 0.0, 0.0
    results: dict[str, tavlok.ArenaResult] = {}
    snapshots: list[Path] = []

    def run_evaluation(env_steps: int, games: int) -> None:
        nonlocal eval_seconds
        start = time.perf_counter()
        # The policy as it is now, written before it plays: a run stopped later leaves it.
        torch.save(net.state_dict(), args.out / "policy.pt")
        if args.policy == "scorer":
            scorer.export(net, args.out / "policy.tvln")
            player: Any = f"net:path={args.out / 'policy.tvln'}"
            if args.league:
                snapshots.append(args.out / "league" / f"{env_steps}.tvln")
                snapshots[-1].parent.mkdir(exist_ok=True)
                scorer.export(net, snapshots[-1])
        else:
            player = ArgmaxPolicy(net)
        row: dict[str, float] = {"env_steps": env_steps, "games": games}
        for opponent in EVAL_OPPONENTS:
            # The same seed every time: each point of the curve replays the same openings.
            result = evaluate(
                player, opponent, games, args.seed + 1000, args.threads, args.eval_opening
            )
            results[opponent] = result
            low, high = result.win_rate_interval[0]
            row |= {
                f"{opponent}_win_rate": float(result.win_rate[0]),
                f"{opponent}_low": float(low),
                f"{opponent}_high": float(high),
                f"{opponent}_mean_score": float(result.mean_score[0]),
            }
        curve.append(row)
        eval_seconds += time.perf_counter() - start
        write_curve(args.out / "curve.csv", curve)
        title = f"Masked PPO on tavlok:tavlok/Tavlok-v0, {args.policy} policy"
        plot(curve, EVAL_OPPONENTS, str(args.out / "learning_curve.png"), title)

    run_evaluation(0, args.eval_games)
    if args.ray:
        from training.ray_rollout import RayCollector

        if args.num_envs % args.ray_workers:
            raise SystemExit("--num-envs must be a multiple of --ray-workers")
        collector = RayCollector(
            net, args.ray_workers, args.num_envs // args.ray_workers, seed=args.seed, **env_options
        )
        gather, close = collector.collect, collector.close
    else:
        env = make_envs(args.num_envs, args.threads, **env_options)
        obs, _ = env.reset(seed=args.seed)

        def gather(steps: int, timer: Timer) -> Any:
            nonlocal obs
            rollout, last_value, obs = collect(env, obs, policy, steps, timer)
            return rollout, last_value

        close = env.close
    bar = progress_bar(args.env_steps, not args.no_progress)
    env_steps, next_eval, train_wins = 0, args.eval_interval, []
    start = time.perf_counter()
    while env_steps < args.env_steps:
        rollout, last_value = gather(args.rollout_steps, timer)
        if args.anneal == "linear":
            for group in optimiser.param_groups:
                group["lr"] = args.lr * (1 - env_steps / args.env_steps)
        began = time.perf_counter()
        stats = update(net, optimiser, rollout, last_value, settings, shuffle)
        update_seconds += time.perf_counter() - began
        env_steps += rollout.actions.size
        train_wins = (train_wins + rollout.ended_wins.tolist())[-1000:]
        if bar is not None:
            bar.update(rollout.actions.size)
            bar.set_postfix_str(
                f"train win {np.mean(train_wins) if train_wins else 0:.2f} "
                f"entropy {stats['entropy']:.2f}"
            )
        if env_steps >= args.env_steps:
            run_evaluation(env_steps, max(args.eval_games, args.final_eval_games))
        elif env_steps >= next_eval:
            run_evaluation(env_steps, args.eval_games)
            while next_eval <= env_steps:
                next_eval += args.eval_interval
            if args.league:
                # From each game's next reset on; the games under way play on.
                env.set_opponents(league_pool(snapshots[-args.league_size :], args.league_greedy))
        else:
            continue
        last = curve[-1]
        line = (
            f"{env_steps} env-steps: win rate vs random {last['random_win_rate']:.3f}, "
            f"vs greedy {last['greedy_win_rate']:.3f} ({last['games']} games each)"
        )
        if bar is not None:
            bar.write(line)
        else:
            print(line, flush=True)
    if bar is not None:
        bar.close()
    wall = time.perf_counter() - start
    close()
    summary = summarise(args, argv, results, env_steps, wall, timer, update_seconds, eval_seconds)
    (args.out / "summary.json").write_text(json.dumps(summary, indent=2) + "\n")
    (args.out / "summary.md").write_text(summary_table(summary))
    print(summary_table(summary))
    return summary


def league_pool(snapshots: list[Path], greedy: float) -> dict[str, float]:
    """Greedy with weight ``greedy``, and the snapshots sharing the rest equally."""
    share = (1 - greedy) / len(snapshots)
    return {"greedy": greedy} | {f"net:path={path}": share for path in snapshots}


def write_curve(path: Path, curve: list[dict[str, float]]) -> None:
    with path.open("w", newline="") as file:
        writer = csv.DictWriter(file, fieldnames=list(curve[0]))
        writer.writeheader()
        writer.writerows(curve)


def summarise(
    args: argparse.Namespace,
    argv: list[str] | None,
    results: dict[str, tavlok.ArenaResult],
    env_steps: int,
    wall: float,
    timer: Timer,
    update_seconds: float,
    eval_seconds: float,
) -> dict[str, Any]:
    """The figures a run reports. Training time is collection plus updates; evaluations are
    counted apart, since their number is a choice of the command line."""
    training = timer.env + timer.policy + update_seconds
    command = ["python", "examples/train.py", *(sys.argv[1:] if argv is None else argv)]
    final = {}
    for opponent, result in results.items():
        low, high = result.win_rate_interval[0]
        final[opponent] = {
            "games": result.games,
            "win_rate": float(result.win_rate[0]),
            "interval": [float(low), float(high)],
            "mean_score": float(result.mean_score[0]),
            "score_stderr": float(result.score_stderr[0]),
            "rating": float(result.rating[0]),
        }
    return {
        "command": shlex.join(command),
        "env_steps": env_steps,
        "wall_seconds": wall,
        "env_steps_per_second": env_steps / training,
        "env_only_steps_per_second": env_steps / timer.env,
        "seconds": {
            "env": timer.env,
            "policy": timer.policy,
            "update": update_seconds,
            "evaluation": eval_seconds,
        },
        "share": {
            "env": timer.env / training,
            "policy": timer.policy / training,
            "update": update_seconds / training,
        },
        "final": final,
    }


def summary_table(summary: dict[str, Any]) -> str:
    lines = [
        "| opponents | games | win rate | 95% interval | mean score ± s.e. |",
        "|---|---:|---:|---:|---:|",
    ]
    for opponent, figures in summary["final"].items():
        low, high = figures["interval"]
        lines.append(
            f"| 3 × {opponent} | {figures['games']} | {figures['win_rate']:.1%} "
            f"| [{low:z.1%}, {high:z.1%}] "
            f"| {figures['mean_score']:.2f} ± {figures['score_stderr']:.2f} |"
        )
    share = summary["share"]
    lines += [
        "",
        f"- learner env-steps: {summary['env_steps']:,} in {summary['wall_seconds']:.0f} s "
        f"({summary['env_steps_per_second']:.0f} env-steps/s while training; the env alone "
        f"{summary['env_only_steps_per_second']:.0f}/s)",
        f"- training time: env {share['env']:.1%}, policy forward {share['policy']:.1%}, "
        f"PPO update {share['update']:.1%}; evaluations took "
        f"{summary['seconds']['evaluation']:.0f} s more",
        f"- command: `{summary['command']}`",
        "",
    ]
    return "\n".join(lines)


if __name__ == "__main__":
    main()
