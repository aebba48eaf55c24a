"""The net bot's weights: read and write them with numpy alone, score features as the engine does,
and export a trained PyTorch module.

The net scores each candidate move of a position (``tavlok._core.net_features``: at most 64
placements in greedy's order, the moves the search considers) from ``len(FEATURES)`` numbers that
describe it, and the bot plays the best-scored one. The network is a multilayer perceptron: layer
l maps its inputs x to ``weight @ x + bias``, with a ReLU after every layer but the last, whose one
output is the score. The engine reads the weights from a file of this format (every integer
uint32 and every number float32, little-endian):

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

The package's own weights (``default_path()``) are also compiled into the engine, which plays
them as ``"net"``; ``"net:path=FILE"`` plays a file of your own, such as a snapshot of a policy
you train with these features, as an opponent at engine speed. ``tools/train_net.py`` trains
the package's net.
"""

from __future__ import annotations

import os
import struct
import zlib
from dataclasses import dataclass
from importlib import resources
from typing import Any

import numpy as np

from . import _core

__all__ = ["FEATURES", "FEATURE_SET", "NetWeights", "default_path", "export", "read", "scores",
           "write"]

MAGIC = b"TVLN"
FORMAT_VERSION = 1
MAX_LAYERS = 8
MAX_WIDTH = 256
# The names of the features, in the order of a row of tavlok._core.net_features; see
# src/game/net.hpp for what each one measures.
FEATURES: tuple[str, ...] = _core.NET_FEATURES
FEATURE_SET: int = _core.NET_FEATURE_SET

_HEADER = struct.Struct("<4sIIII")


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
    """The weights in a file; ``ValueError`` naming the file says what is wrong with one that is
    not a weights file of this format, or that is damaged. Its features are checked when the
    engine loads it (``"net:path=FILE"``)."""
    data = open(path, "rb").read()

    def refuse(problem: str) -> ValueError:
        return ValueError(f"weights file {os.fspath(path)!r} {problem}")

    if len(data) < _HEADER.size or data[:4] != MAGIC:
        raise refuse("is not a net's weights: it does not begin with TVLN")
    _, version, feature_set, inputs, num_layers = _HEADER.unpack_from(data)
    if version != FORMAT_VERSION:
        raise refuse(f"has format version {version}; this package reads version {FORMAT_VERSION}")
    if not 1 <= num_layers <= MAX_LAYERS or len(data) < _HEADER.size + 4 * num_layers:
        raise refuse(f"is truncated or gives {num_layers} layers; a net has 1 to {MAX_LAYERS}")
    widths = struct.unpack_from(f"<{num_layers}I", data, _HEADER.size)
    shapes = list(zip(widths, (inputs, *widths[:-1]), strict=True))
    needed = _HEADER.size + 4 * num_layers + 4 * sum(o * (i + 1) for o, i in shapes) + 4
    if len(data) != needed:
        raise refuse(f"has {len(data)} bytes; its layer widths need {needed}")
    if zlib.crc32(data[:-4]) != struct.unpack_from("<I", data, needed - 4)[0]:
        raise refuse("is damaged: its checksum does not match its contents")
    numbers = np.frombuffer(data, "<f4", (needed - _HEADER.size - 4 * num_layers - 4) // 4,
                            _HEADER.size + 4 * num_layers).astype(np.float32)
    layers, at = [], 0
    for outputs, layer_inputs in shapes:
        weight = numbers[at:at + outputs * layer_inputs].reshape(outputs, layer_inputs)
        at += outputs * layer_inputs
        layers.append((weight, numbers[at:at + outputs]))
        at += outputs
    return NetWeights(tuple(layers), feature_set)


def write(weights: NetWeights, path: str | os.PathLike[str]) -> None:
    """Writes the weights to a file of the engine's format."""
    layers = [(np.asarray(w, np.float32), np.asarray(b, np.float32)) for w, b in weights.layers]
    if not 1 <= len(layers) <= MAX_LAYERS:
        raise ValueError(f"a net has 1 to {MAX_LAYERS} layers, not {len(layers)}")
    inputs = layers[0][0].shape[1]
    for w, b in layers:
        if w.ndim != 2 or w.shape[1] != inputs or b.shape != (w.shape[0],):
            raise ValueError(f"layer shapes {w.shape} and {b.shape} do not follow on")
        inputs = w.shape[0]
    widths = [w.shape[0] for w, _ in layers]
    body = _HEADER.pack(MAGIC, FORMAT_VERSION, weights.feature_set, layers[0][0].shape[1],
                        len(layers))
    body += struct.pack(f"<{len(widths)}I", *widths)
    body += b"".join(w.astype("<f4").tobytes() + b.astype("<f4").tobytes() for w, b in layers)
    with open(path, "wb") as file:
        file.write(body + struct.pack("<I", zlib.crc32(body)))


def scores(weights: NetWeights, features: np.ndarray) -> np.ndarray:
    """The net's score of each row of ``features`` (n, inputs), float32 (n,), computed with
    numpy as the engine computes it (to float32 rounding)."""
    x = np.asarray(features, np.float32)
    for i, (w, b) in enumerate(weights.layers):
        x = x @ w.T + b
        if i + 1 < len(weights.layers):
            x = np.maximum(x, 0)
    return x[:, 0]


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
