"""The package's pictures of a game: SVG, image and terminal text with coordinates, legend, marks
and the last placement; and placements moved between the seats' frames."""

import re
import unicodedata
import xml.etree.ElementTree as ET

import numpy as np
import pytest

import tavlok
from support import rules
from tavlok import Board
from tavlok.actions import decode, encode, turn_orientation, turned
from tavlok.board import BACKGROUND, LAST_MOVE_COLOUR, SEAT_COLOURS, TEXT_COLOUR, _draw_text
from tavlok.pieces import NUM_ORIENTATIONS, ORIENTATIONS

SVG = "{http://www.w3.org/2000/svg}"
ANSI = re.compile(r"\x1b\[[0-9;]*m")


def game(seed, moves):
    state = tavlok.State()
    rng = np.random.default_rng(seed)
    while not state.is_terminal() and len(state.history) < moves:
        state.apply(int(rng.choice(state.legal_actions())))
    return state


def mover_of_last(state):
    """The seat that made the last placement, found by replaying the game."""
    replay = tavlok.State()
    for index in state.history[:-1]:
        replay.apply(index)
    return replay.seat


def last_cells(state, viewer):
    """The cells of the last placement in viewer's frame, from the naive model's turn."""
    seat = mover_of_last(state)
    cells = decode(state.history[-1]).cells
    return {rules.turned(r, c, seat - viewer) for r, c in cells}


@pytest.mark.parametrize("quarter_turns", range(4))
def test_a_placement_turned_covers_the_turned_cells(quarter_turns):
    rng = np.random.default_rng(quarter_turns)
    for orientation in range(NUM_ORIENTATIONS):
        shape = ORIENTATIONS[orientation]
        row = int(rng.integers(0, 21 - shape.height))
        col = int(rng.integers(0, 21 - shape.width))
        index = encode(orientation, row, col)
        moved = decode(turned(index, quarter_turns))
        assert moved.piece == shape.kind
        expected = {rules.turned(r, c, quarter_turns) for r, c in decode(index).cells}
        assert set(moved.cells) == expected
        assert turned(turned(index, quarter_turns), -quarter_turns) == index


def test_turning_an_orientation_turns_its_cells():
    for orientation in range(NUM_ORIENTATIONS):
        index = encode(orientation, 0, 0)
        assert turn_orientation(orientation) == decode(turned(index, 1)).orientation
        flipped = {(r, -c) for r, c in ORIENTATIONS[orientation].cells}
        width = ORIENTATIONS[orientation].width
        mirrored = {(r, c + width - 1) for r, c in flipped}
        assert set(ORIENTATIONS[turn_orientation(orientation, flip=True)].cells) == mirrored


@pytest.mark.parametrize("viewer", [0, 3])
def test_the_state_knows_its_last_placement_in_any_frame(viewer):
    state = game(seed=2, moves=23)
    assert set(state.last_placement(viewer)) == last_cells(state, viewer)
    assert tavlok.State().last_placement() == []


def test_the_svg_numbers_the_axes_and_carries_a_legend():
    state = game(seed=5, moves=200)
    names = ["greedy", "me & you", "random", "mcts"]
    root = ET.fromstring(state.svg(0, names=names))
    texts = [t.text for t in root.iter(f"{SVG}text")]
    for i in range(20):
        assert texts.count(str(i)) == 2  # the column above and the row beside
    board = state.board(0)
    counts = board.cell_counts()
    scores = state.scores()
    for seat, (colour, mark) in enumerate(
        zip(("blue", "yellow", "red", "green"), ("dot", "triangle", "square", "cross"), strict=True)
    ):
        (entry,) = [g for g in root.iter(f"{SVG}g") if g.get("data-legend-seat") == str(seat)]
        assert entry.find(f"{SVG}text").text == (
            f"{seat} {colour} {mark}: {names[seat]}, {counts[seat]} cells, score {scores[seat]}"
        )
        swatch = entry.find(f"{SVG}rect")
        assert swatch.get("fill") == "#{:02x}{:02x}{:02x}".format(*SEAT_COLOURS[seat])


def test_the_svg_marks_every_cell_with_its_seats_shape():
    state = game(seed=6, moves=30)
    root = ET.fromstring(state.svg())
    marks = [u.get("href") for u in root.find(f".//{SVG}g[@class='board']").iter(f"{SVG}use")]
    counts = state.board().cell_counts()
    assert [marks.count(f"#mark-{s}") for s in range(4)] == list(counts)
    shapes = {g.get("id"): next(iter(g)).tag for g in root.find(f"{SVG}defs")}
    assert len(set(shapes.values())) == 4  # circle, polygon, rect, path


def outlined(path):
    """The unit edges an SVG path of straight strokes draws, in cells of 20 pixels."""
    edges = set()
    for x0, y0, x1, y1 in re.findall(r"M([\d.]+) ([\d.]+)L([\d.]+) ([\d.]+)", path):
        a = (int(float(y0)) // 20, int(float(x0)) // 20)
        b = (int(float(y1)) // 20, int(float(x1)) // 20)
        edges.add(frozenset((a, b)))
    return edges


def boundary(cells):
    """The unit edges between a cell of the set and a cell outside it."""
    edges = set()
    for r, c in cells:
        sides = {
            (-1, 0): ((r, c), (r, c + 1)),
            (1, 0): ((r + 1, c), (r + 1, c + 1)),
            (0, -1): ((r, c), (r + 1, c)),
            (0, 1): ((r, c + 1), (r + 1, c + 1)),
        }
        for (dr, dc), edge in sides.items():
            if (r + dr, c + dc) not in cells:
                edges.add(frozenset(edge))
    return edges


@pytest.mark.parametrize("viewer", range(4))
def test_the_svg_outlines_exactly_the_last_placement(viewer):
    state = game(seed=viewer, moves=41)
    root = ET.fromstring(state.svg(viewer))
    (path,) = [p for p in root.iter(f"{SVG}path") if p.get("class") == "last-move"]
    assert outlined(path.get("d")) == boundary(last_cells(state, viewer))
    assert not [p for p in ET.fromstring(tavlok.State().svg()).iter(f"{SVG}path")
                if p.get("class") == "last-move"]


def test_the_image_numbers_the_axes_outlines_the_last_placement_and_has_a_legend():
    state = game(seed=9, moves=37)
    board = state.board(0)
    image = board.rgb(16, last=state.last_placement(0), scores=(1, -2, 3, -4))
    top, left, scale = Board.layout(16)
    # Every column's number is drawn above it, every row's beside it.
    for i in range(20):
        above = image[2 * scale : top, left + i * 16 : left + (i + 1) * 16]
        beside = image[top + i * 16 : top + (i + 1) * 16, :left]
        assert (above == TEXT_COLOUR).all(axis=2).any()
        assert (beside == TEXT_COLOUR).all(axis=2).any()
    grid = image[top : top + 321, left : left + 321]
    dark = (grid == LAST_MOVE_COLOUR).all(axis=2)
    for r, c in last_cells(state, 0):
        assert dark[r * 16 : r * 16 + 17, c * 16 : c * 16 + 17].any()
    far = [(r, c) for r in range(20) for c in range(20)
           if min(max(abs(r - lr), abs(c - lc)) for lr, lc in last_cells(state, 0)) > 1]
    assert not any(dark[r * 16 + 1 : r * 16 + 16, c * 16 + 1 : c * 16 + 16].any() for r, c in far)
    # Neighbouring column numbers (10 to 19 too) keep a gap wider than the one between digits.
    header = (image[:top, left : left + 320] == TEXT_COLOUR).all(axis=2).any(axis=0)
    assert not any(header[i * 16 - scale : i * 16 + scale].any() for i in range(1, 20))
    legend = image[top + 321 :]
    for seat in range(4):
        assert (legend == SEAT_COLOURS[seat]).all(axis=2).any()


def ink(image):
    """The text pixels of an image, cropped to their bounding box."""
    drawn = (image == TEXT_COLOUR).all(axis=2)
    rows, cols = np.nonzero(drawn)
    return drawn[rows.min() : rows.max() + 1, cols.min() : cols.max() + 1]


def test_the_images_legend_names_each_seat_with_its_cells_and_score():
    state = game(seed=3, moves=500)
    names = ["greedy", "you", "mcts:40", "random"]
    counts, scores = state.board(0).cell_counts(), state.scores()
    image = state.board(0).rgb(16, scores=scores, names=names)
    top, left, scale = Board.layout(16)
    for seat, colour in enumerate(("blue", "yellow", "red", "green")):
        canvas = np.zeros((5 * scale, 400, 3), dtype=np.uint8)
        line = f"{seat} {colour}: {names[seat]}, {counts[seat]} cells, score {scores[seat]}"
        _draw_text(canvas, line, 0, 0, scale)
        row = image[top + 321 + 2 * scale + seat * 16 :][:16, left + 16 :]
        assert np.array_equal(ink(row), ink(canvas))
    # A long name is cut rather than widening the image or running off its edge.
    long = state.board(0).rgb(16, scores=scores, names=["x" * 200] * 4)
    assert long.shape == image.shape and (long[:, -scale:] == BACKGROUND).all()


def test_the_palette_stays_apart_for_colour_blind_readers():
    """Simulated dichromat vision (Viénot, Brettel and Mollon 1999, in linear RGB) keeps every
    two seat colours well apart."""
    simulations = {
        "protanopia": [[0.11238, 0.88762, 0], [0.11238, 0.88762, 0], [0.00401, -0.00401, 1]],
        "deuteranopia": [[0.29275, 0.70725, 0], [0.29275, 0.70725, 0], [-0.02234, 0.02234, 1]],
    }
    colours = np.array(SEAT_COLOURS) / 255.0
    linear = np.where(colours <= 0.04045, colours / 12.92, ((colours + 0.055) / 1.055) ** 2.4)
    for name, matrix in simulations.items():
        seen = np.clip(linear @ np.array(matrix).T, 0, 1) ** (1 / 2.2)
        distances = [np.linalg.norm(seen[a] - seen[b]) for a in range(4) for b in range(a + 1, 4)]
        assert min(distances) > 0.15, name


def test_the_terminal_board_fits_a_small_terminal_and_shows_each_seats_number():
    state = game(seed=12, moves=60)
    board = state.board(0)
    last = state.last_placement(0)
    for columns, width in ((80, 63), (50, 43)):
        text = board.display(False, last=last, scores=None, columns=columns)
        lines = text.split("\n")
        assert len(lines) <= 24 and max(len(line) for line in lines) <= 80
        rows = [line for line in lines if re.match(r"^[ 1]\d ", line)]
        assert len(rows) == 20 and max(len(row) for row in rows) <= width
        step = 3 if width == 63 else 2
        for r, row in enumerate(rows):
            for c in range(20):
                cell = row[3 + step * c : 3 + step * (c + 1)].ljust(step)
                owner = board.owners[r, c]
                assert (owner if owner >= 0 else ".") == (int(cell[1 if step == 3 else 0])
                                                          if owner >= 0 else cell.strip())
                marked = "[" in cell or "<" in cell
                assert marked == ((r, c) in last)
        coloured = board.display(True, last=last, columns=columns)
        assert coloured != text and ANSI.sub("", coloured) == text
    assert "0 blue dot" not in board.display(False)  # marks are the numbers here
    assert board.display(False).split("\n")[-2].startswith("0 blue: player_0, ")
    # Long names are cut, and put one seat a line, to keep the legend within the terminal.
    names = ["mcts:ms=300,playout=random", "you", "x" * 100, "greedy"]
    for columns in (80, 63):
        text = board.display(False, scores=(-3, 15, 20, -89), names=names, columns=columns)
        lines = text.split("\n")
        assert max(map(len, lines)) <= columns
        assert [line[:2] for line in lines[-4:]] == ["0 ", "1 ", "2 ", "3 "]
        assert lines[-2].endswith(f"x..., {board.cell_counts()[2]} cells, score 20")


HOSTILE_NAMES = [
    "\x1b[2J\x1b]0;title\x07wiped",  # escapes that clear the screen and retitle the terminal
    "nul\x00byte",
    "vertical\x0btab\nnew line\rreturn",
    "\u202eright to left",  # a direction override
    "\udcffnot utf-8",  # a byte of a name read with surrogateescape
    "line\u2028separator",
]


@pytest.mark.parametrize("name", HOSTILE_NAMES)
def test_no_picture_carries_a_control_character_from_a_name(name, capsys):
    state = game(seed=4, moves=84)
    names = [name, "you", name * 3, "greedy"]
    svg = state.svg(0, names=names)
    legend = ET.fromstring(svg.encode()).findall(f".//{SVG}g[@data-legend-seat='0']/{SVG}text")
    shown = legend[0].text
    assert name.encode("unicode_escape", "backslashreplace").decode() in shown
    tavlok.state.picture(state, "human", names)
    text = capsys.readouterr().out
    for picture in (svg, text, state.board(0).display(True, names=names, columns=200)):
        assert {char for char in ANSI.sub("", picture) if not char.isprintable()} <= {"\n"}
    assert state.board(0).rgb(names=names).shape == state.board(0).rgb().shape


@pytest.mark.parametrize("name", ["漢" * 60, "ｗｉｄｅ" * 15, "e\u0301" * 70])
@pytest.mark.parametrize("columns", [63, 80, 100])
def test_a_legend_fits_the_terminal_in_columns_not_characters(name, columns):
    def width(line):
        return sum(
            0 if unicodedata.combining(c) else 1 + (unicodedata.east_asian_width(c) in "WF")
            for c in line
        )

    board = game(seed=5, moves=20).board(0)
    text = board.display(False, names=[name, "you", name, "greedy"], columns=columns)
    assert max(map(width, text.splitlines())) <= columns
    # Cut only as far as needed: a cut line fills the width to within a wide character.
    line = text.splitlines()[-4]
    assert "..." not in line or width(line) >= columns - 2
