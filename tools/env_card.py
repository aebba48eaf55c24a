"""The docs' env card, read from the engine's sources: a mkdocs hook (mkdocs.yml ``hooks:``) that
puts, where a page says ``<!-- env-card -->``, the table of every field an env hands out (its
name, dtype, shape, bounds and meaning), the spaces, the rewards and the length of a game, all
taken from the table of fields in src/game/view.hpp and the constants it names. Nothing is built
or imported: ``make docs`` runs without the compiled extension, and a field added to that table
is on the page with no other edit. Where a page says ``<!-- candidate-features -->``, it puts the
table of the columns of ``candidate_features``: their names and what each means, with its scale,
from the comments of ``NET_FEATURE_NAMES`` in the engine's headers. tests/python/test_view.py
checks that what this reads is what ``tavlok._core.view_fields`` and ``_core.NET_FEATURES``
report.
"""

from __future__ import annotations

import re
from pathlib import Path
from typing import Any

ROOT = Path(__file__).resolve().parent.parent
GAME = ROOT / "src" / "game"
MARKER = "<!-- env-card -->"
FEATURES_MARKER = "<!-- candidate-features -->"

_STRING = r'"((?:[^"\\]|\\.)*)"'
_ROWS = {"PerEnv": "env", "Packed": "packed", "Offsets": "offsets"}


def _headers() -> str:
    return "\n".join(path.read_text() for path in sorted(GAME.glob("*.hpp")))


def _constants(text: str) -> dict[str, int]:
    """Every integer constant that the headers declare (``inline constexpr std::size_t NAME =
    ...;``, several to a declaration) and that can be worked out from numbers and the others."""
    expressions: dict[str, str] = {}
    declarations = re.findall(r"inline constexpr (?:std::size_t|std::uint8_t|double) ([^;{]+);", text)
    for declaration in declarations:
        expressions.update(re.findall(r"([A-Z][A-Z0-9_]*) = ([^,]+)", declaration))
    # An array's size() is the length it is declared with.
    for length, name in re.findall(r"inline constexpr std::array<[^,>]+, (\w+)> ([A-Z_]+) =", text):
        expressions[f"{name}.size()"] = length
    values: dict[str, int] = {}

    def value(name: str) -> int:
        if name not in values:
            values[name] = _evaluate(expressions[name], value)
        return values[name]

    for name in expressions:
        try:
            value(name)
        except (KeyError, ValueError):
            pass  # not a plain number: no field names it
    return values


def _evaluate(expression: str, value: Any) -> int:
    """An integer expression of the headers: numbers, constants (``value(name)`` for each),
    + - * / and parentheses, / dividing whole numbers as C++ does."""
    spelled = re.sub(
        r"[A-Za-z_]\w*(?:\.size\(\))?", lambda m: str(value(m.group(0))), expression
    )
    if not re.fullmatch(r"[\d\s+\-*/()]+", spelled):
        raise ValueError(f"cannot read {expression!r} from the engine's headers")
    return int(eval(spelled.replace("/", "//"), {"__builtins__": {}}))


def _arguments(row: str) -> list[str]:
    """The arguments of ``FieldSpec{...}``, split at the commas outside braces and strings."""
    arguments, depth, start, quoted = [], 0, 0, False
    for i, char in enumerate(row):
        if char == '"' and row[i - 1] != "\\":
            quoted = not quoted
        elif not quoted and char in "{}":
            depth += 1 if char == "{" else -1
        elif not quoted and char == "," and depth == 0:
            arguments.append(row[start:i].strip())
            start = i + 1
    arguments.append(row[start:].strip())
    return [argument for argument in arguments if argument]


def _names(text: str, array: str) -> list[str]:
    """The string literals of ``ARRAY = {...}`` in ``text``."""
    return re.findall(_STRING, re.search(array + r" = \{([^}]*)\}", text).group(1))


def fields() -> list[dict[str, Any]]:
    """Every row of the table, in its order, as ``tavlok._core.view_fields`` gives a field, with
    ``"layouts"``, the names of the legal-action layouts that have it."""
    values = _constants(_headers()).__getitem__
    view = (GAME / "view.hpp").read_text()
    layouts = _names(view, "MASK_LAYOUT_NAMES")
    dtypes = re.search(r"enum class Dtype[^{]*\{([^}]*)\}", view).group(1).replace(" ", "")
    dtype_of = dict(zip(dtypes.split(","), _names(view, "DTYPE_NAMES"), strict=True))
    table = re.search(r"inline constexpr std::array FIELDS = \{(.*?)\n\};", view, re.DOTALL)
    rows = []
    for row in re.findall(r"FieldSpec\{(.*?)\}(?=,\s*(?:FieldSpec|$))", table.group(1), re.DOTALL):
        (_, name, dtype, ndim, shape, low, high, part, where, meaning, *rest) = _arguments(row)
        extents = [_evaluate(e, values) for e in shape.strip("{}").split(",") if e.strip()]
        rows.append(
            {
                "name": re.fullmatch(_STRING, name).group(1),
                "dtype": dtype_of[dtype.removeprefix("Dtype::")],
                "shape": tuple(extents[: int(ndim)]),
                "low": float(_evaluate(low, values)),
                "high": float(_evaluate(high, values)),
                "part": part.removeprefix("Part::").lower(),
                "rows": _ROWS[rest[0].removeprefix("Rows::")] if rest else "env",
                "kept_at_end": len(rest) > 1 and rest[1] == "true",
                "per_candidate": len(rest) > 2 and rest[2] == "true",
                "meaning": "".join(re.findall(_STRING, meaning)),
                "layouts": [
                    layout
                    for k, layout in enumerate(layouts)
                    if _evaluate(where, values) >> k & 1
                ],
            }
        )
    return rows


def view_fields(mask: str, candidates: int | None = None) -> list[dict[str, Any]]:
    """The fields that a batch in layout ``mask`` listing ``candidates`` candidates has, as
    ``tavlok._core.view_fields(mask, candidates)`` gives them."""
    shown = []
    for row in fields():
        if mask not in row["layouts"] or (row["per_candidate"] and not candidates):
            continue
        field = {key: value for key, value in row.items() if key != "layouts"}
        if row["per_candidate"]:
            field["shape"] = (candidates, *row["shape"][1:])
        shown.append(field)
    return shown


def features() -> list[tuple[str, str]]:
    """The columns of ``candidate_features`` after the one-hot piece kinds, in order: each name
    and the comment beside it in ``NET_FEATURE_NAMES`` (what it counts, and its divisor). A
    comment that says only "seat 2's" and the like is read with the one before it."""
    table = re.search(r"NET_FEATURE_NAMES = \{(.*?)\n\};", _headers(), re.DOTALL).group(1)
    return re.findall(r'"(\w+)",\s*// (.*)', table)


def features_table() -> str:
    """The table of the candidates' feature columns, in Markdown."""
    kinds = _constants(_headers())["NUM_PIECE_TYPES"]
    lines = [
        "| columns | name | what it is |",
        "| --- | --- | --- |",
        f"| 0 to {kinds - 1} | `piece=<kind>` | 1 for the candidate's kind, in the order of "
        "`tavlok.KINDS`; 0 for the others |",
    ]
    for column, (name, meaning) in enumerate(features(), start=kinds):
        lines.append(f"| {column} | `{name}` | {meaning} |")
    return "\n".join(lines)


def _table(rows: list[dict[str, Any]], every: int) -> list[str]:
    lines = [
        "| field | dtype | shape (one env) | values | layouts | what it is |",
        "| --- | --- | --- | --- | --- | --- |",
    ]
    for row in rows:
        shape = ["K", *row["shape"][1:]] if row["per_candidate"] else row["shape"]
        shown = f"({', '.join(map(str, shape))}{',' if len(shape) == 1 else ''})"
        if row["rows"] == "packed":
            shown = f"a list, at most {shape[0]}"
        elif row["rows"] == "offsets":
            shown = "num_envs + 1 in all"
        where = "all" if len(row["layouts"]) == every else ", ".join(row["layouts"])
        if row["per_candidate"]:
            where += ", with `candidates=K`"
        lines.append(
            f"| `{row['name']}` | {row['dtype']} | {shown} | {row['low']:g} to {row['high']:g} "
            f"| {where} | {row['meaning']} |"
        )
    return lines


def card() -> str:
    """The env card in Markdown."""
    values = _constants(_headers())
    batch = (GAME / "batch.hpp").read_text()
    illegal = re.search(r"ILLEGAL_MOVE_REWARDS = \{([^}]*)\}", batch).group(1).split(",")
    paid = ", ".join(
        f'{float(value):g} with `reward="{name}"`'
        for name, value in zip(_names(batch, "REWARD_NAMES"), illegal, strict=True)
    )
    rows = fields()
    every = len(_names((GAME / "view.hpp").read_text(), "MASK_LAYOUT_NAMES"))
    actions = values["NUM_GRID_INDICES"]
    moves, pieces = values["MAX_PLACEMENTS"], values["NUM_PIECE_TYPES"]
    return "\n".join(
        [
            "What a seat is shown, by legal-action layout (`mask`; the PettingZoo and single "
            "Gymnasium envs use `bytes`):",
            "",
            *_table([row for row in rows if row["part"] == "view"], every),
            "",
            "What a vector env's step ends, per env (the arrays behind its rewards, "
            "terminations and infos):",
            "",
            *_table([row for row in rows if row["part"] == "result"], every),
            "",
            "**Spaces.** A seat's observation space is a `Dict` of the fields it is shown, each a "
            "`Box` of the bounds, shape and dtype above, and a list of legal grid indices a "
            f"stacked `Sequence(Discrete({actions}))`; `seat` is in the observations of "
            "`tavlok.VectorEnv` alone. Vector envs stack the spaces over `num_envs`. The action "
            f"space is `Discrete({actions})`: a grid index; in the `candidates` layout, "
            "`Discrete(K)`: a candidate's number.",
            "",
            "**Rewards.** 0 on every step but the one that ends a game, which pays the final "
            "score (within the bounds of `rewards` above) or, with `reward=\"win\"`, the share "
            f"of the win, 0 to 1. Where an env ends the game on an illegal move, the mover gets "
            f"{paid}.",
            "",
            f"**Episode length.** A game ends after at most {moves} placements "
            f"({values['NUM_AGENTS']} seats of {pieces} pieces): at most {moves} turns in the "
            f"PettingZoo env and {pieces} steps for a learner. Nothing is ever truncated.",
        ]
    )


def on_page_markdown(markdown: str, **kwargs: Any) -> str:
    if MARKER in markdown:
        markdown = markdown.replace(MARKER, card())
    if FEATURES_MARKER in markdown:
        markdown = markdown.replace(FEATURES_MARKER, features_table())
    return markdown
