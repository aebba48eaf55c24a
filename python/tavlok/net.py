"""The net bot's weights: read and write their files through the engine, and export a trained
PyTorch module.

The net scores each candidate move of a position (``tavlok._core.net_features``: at most
``tavlok._core.MAX_CANDIDATES`` placements in greedy's order, the moves the search considers) from
``len(FEATURES)`` numbers that describe it, and the bot plays the best-scored one. The network is a
multilayer perceptron: layer l maps its inputs x to ``weight @ x + bias``, with a ReLU after every
layer but the last, whose one output is the score. The engine reads the weights from a file of
this format (every integer uint32 and every number float32, little-endian):

======== ==============================================================================
offset   contents
======== ==============================================================================
0        ``b"TVLN"``
4        format version, 1
8        feature set: which features the net was trained on (``FEATURE_SET``)
12       inputs: the number of features, ``len(FEATURES)``
16       L, the number of layers, 1 to 8
20       the L layer widths (their outputs), 1 to 256 each; the last is 1
20 + 4L  each layer in turn: its weight, outputs x inputs in row-major order (as
         ``torch.nn.Linear.weight``), then its bias
end - 4  CRC-32 (``zlib.crc32``) of every byte before it
======== ==============================================================================

``read`` and ``write`` are the engine's own reader and writer of that format, so a file that one
writes the other reads, and a file the engine would refuse is refused here too, before anything
is written. The package's own weights (``default_path()``) are also compiled into the engine,
which plays them as ``"net"``; ``"net:path=FILE"`` plays a file of your own, such as a snapshot
of a policy you train with these features, as an opponent at engine speed. ``tools/train_net.py``
trains the package's net.
"""

from __future__ import annotations

import os
from dataclasses import dataclass
from importlib import resources
from typing import Any

import numpy as np

from . import _core

__all__ = ["FEATURES", "FEATURE_SET", "NetWeights", "default_path", "export", "read", "write"]

# The names of the features, in the order of a row of tavlok._core.net_features; see
# src/game/net_features.hpp for what each one measures.
FEATURES: tuple[str, ...] = _core.NET_FEATURES
FEATURE_SET: int = _core.NET_FEATURE_SET


@dataclass(frozen=True, eq=False)
class NetWeights:
    """A net's layers, first to last: (weight, bias) float32 arrays of shapes (outputs, inputs)
    and (outputs,)."""

    layers: tuple[tuple[np.ndarray, np.ndarray], ...]
    feature_set: int = FEATURE_SET


def default_path() -> str:
    """The package's weights file, the built-in net's."""
    return str(resources.files("tavlok") / "data" / "net.tvln")


def read(path: str | os.PathLike[str]) -> NetWeights:
    """The weights in a file, read by the engine's loader (the one ``"net:path=FILE"`` uses):
    ``ValueError`` naming the file says what is wrong with one that the engine would not play,
    in the same words. A FIFO, a device or a directory is refused without being read."""
    return NetWeights(tuple(_core.read_net_weights(path)))


def write(weights: NetWeights, path: str | os.PathLike[str]) -> None:
    """Writes the weights to a file of the engine's format, laid out by the engine. Weights the
    engine would not read back (layers that do not follow on, a width of 0 or over 256, a last
    layer wider than 1, a weight that is not finite, other features) raise ``ValueError`` before
    anything is written."""
    layers = [(np.asarray(w, np.float32), np.asarray(b, np.float32)) for w, b in weights.layers]
    data = _core.net_weights_file(layers, path, weights.feature_set)
    with open(path, "wb") as file:
        file.write(data)


def export(module: Any, path: str | os.PathLike[str]) -> NetWeights:
    """Writes a trained PyTorch net to ``path`` and returns its weights: a
    ``torch.nn.Sequential`` of ``Linear`` layers with a ``ReLU`` between each two, taking the
    features of ``FEATURES`` and giving one score. Imports torch only when called."""
    import torch

    parts = list(module) if isinstance(module, torch.nn.Sequential) else [module]
    expected = [torch.nn.Linear if i % 2 == 0 else torch.nn.ReLU for i in range(len(parts))]
    if not parts or len(parts) % 2 == 0 or any(
        type(part) is not kind for part, kind in zip(parts, expected, strict=True)
    ):
        raise TypeError(
            "the engine plays a Sequential of Linear layers with a ReLU between each two, not "
            f"{module!r}"
        )
    with torch.no_grad():
        layers = tuple(
            (p.weight.detach().cpu().numpy().astype(np.float32),
             p.bias.detach().cpu().numpy().astype(np.float32)
             if p.bias is not None else np.zeros(p.out_features, np.float32))
            for p in parts[::2]
        )
    weights = NetWeights(layers)
    write(weights, path)
    return weights
