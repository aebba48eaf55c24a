"""Masked PPO for one learner seat against three of the engine's bots, on the batched env.

    python examples/train.py --env-steps 300000 --num-envs 128 --threads 2 --out build/train

The learner plays ``gymnasium.make_vec("tavlok:tavlok/Tavlok-v0", mask="indices", ...)``: the env
hands out each game's legal grid indices as ragged rows, the network scores only those, and the
softmax, sampling and argmax run per row (``training.segments``). Every ``--eval-interval``
env-steps the policy (argmax) plays ``tavlok.arena`` against three random and three greedy bots,
seats rotating.

Written to ``--out``: ``curve.csv`` (win rates with 95% intervals over env-steps),
``learning_curve.png``, ``summary.json`` (final figures, throughput, where the time went, the
command), ``summary.md`` (the same as a table) and ``policy.pt`` (the network's weights).
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

import gymnasium
import numpy as np
import torch
from training.evaluation import evaluate, plot
from training.model import PolicyNet
from training.ppo import Settings, update
from training.rollout import SamplingPolicy, Timer, collect

import tavlok

EVAL_OPPONENTS = ("random", "greedy")


def parse_args(argv: list[str] | None = None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        description=__doc__.split("\n\n")[0],
        epilog="Without --ray, the same command on the same machine draws the same curve: every "
        "generator is seeded from --seed, and torch runs deterministic kernels on --threads "
        "threads.",
    )
    count = {"type": int, "metavar": "N"}
    parser.add_argument(
        "--env-steps",
        **count,
        default=300_000,
        help="learner env-steps to train for; the run stops at the first update that reaches "
        "them (%(default)s)",
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
        help="threads of the env, the evaluation arena and torch; torch's sums, and so the curve, "
        "depend on it (%(default)s)",
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
        help="where to write curve.csv, learning_curve.png, summary.json, summary.md and "
        "policy.pt (%(default)s)",
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
        default="score",
        help="the learner's reward when its game ends: its score (scaled by 1/89), or its share "
        "of the win (%(default)s)",
    )
    parser.add_argument(
        "--rollout-steps", **count, default=16, help="steps per env between updates (%(default)s)"
    )
    parser.add_argument("--lr", type=float, default=3e-4, help="Adam's learning rate (%(default)s)")
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
    return parser.parse_args(argv)


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
    torch.set_num_threads(args.threads)
    opponents = args.opponents.split(",")
    net = PolicyNet(args.channels, args.blocks)
    env_options = {
        "opponents": opponents[0] if len(opponents) == 1 else opponents,
        "mask": "indices",
        "autoreset_mode": "SameStep",
        "reward": args.reward,
    }
    optimiser = torch.optim.Adam(net.parameters(), lr=args.lr)
    # Scores run from -89 to 20: scaled to about [-1, 0.2] for the value head.
    reward_scale = 1 / 89 if args.reward == "score" else 1.0
    settings = Settings(epochs=args.epochs, minibatch=args.minibatch, reward_scale=reward_scale)
    policy = SamplingPolicy(net, torch.Generator().manual_seed(args.seed + 1))
    shuffle = torch.Generator().manual_seed(args.seed + 2)

    curve: list[dict[str, float]] = []
    timer, update_seconds, eval_seconds = Timer(), 0.0, 0.0
    results: dict[str, tavlok.ArenaResult] = {}

    def run_evaluation(env_steps: int, games: int) -> None:
        nonlocal eval_seconds
        start = time.perf_counter()
        row: dict[str, float] = {"env_steps": env_steps, "games": games}
        for opponent in EVAL_OPPONENTS:
            # The same seed every time: each point of the curve replays the same openings.
            result = evaluate(
                net, opponent, games, args.seed + 1000, args.threads, args.eval_opening
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
        plot(curve, EVAL_OPPONENTS, str(args.out / "learning_curve.png"))

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
        env = gymnasium.make_vec(
            "tavlok:tavlok/Tavlok-v0",
            num_envs=args.num_envs,
            vectorization_mode="vector_entry_point",
            num_threads=args.threads,
            **env_options,
        )
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
    torch.save(net.state_dict(), args.out / "policy.pt")
    summary = summarise(args, argv, results, env_steps, wall, timer, update_seconds, eval_seconds)
    (args.out / "summary.json").write_text(json.dumps(summary, indent=2) + "\n")
    (args.out / "summary.md").write_text(summary_table(summary))
    print(summary_table(summary))
    return summary


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
