"""The replay and play page in a real browser: headless Chromium driven by Selenium.

The page is served by tavlok.web in a thread of this process; the checks compare what the browser
shows with tavlok.State. Screenshots go to build/artifacts/ (BROWSER_ARTIFACTS overrides it).
"""

import os
import shutil
import threading
from pathlib import Path

import numpy as np
import pytest

import tavlok
from tavlok.actions import decode, turned
from tavlok.pieces import ORIENTATIONS
from tavlok.web import Live, Replay, make_server, url

selenium = pytest.importorskip("selenium")
from selenium import webdriver  # noqa: E402
from selenium.webdriver.chrome.service import Service  # noqa: E402
from selenium.webdriver.common.action_chains import ActionChains  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.common.keys import Keys  # noqa: E402
from selenium.webdriver.support.ui import WebDriverWait  # noqa: E402

ROOT = Path(__file__).resolve().parents[2]
ARTIFACTS = Path(os.environ.get("BROWSER_ARTIFACTS", ROOT / "build" / "artifacts"))


@pytest.fixture(scope="module")
def browser():
    driver_path = shutil.which("chromedriver")
    chromium = shutil.which("chromium")
    if driver_path is None or chromium is None:
        pytest.skip("needs Debian's chromium and chromium-driver (make test-integration)")
    options = webdriver.ChromeOptions()
    options.binary_location = chromium
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--window-size=1200,900"):
        options.add_argument(argument)
    driver = webdriver.Chrome(service=Service(driver_path), options=options)
    yield driver
    driver.quit()


def serving(game):
    server = make_server(game)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    return server


def views(browser):
    return int(browser.find_element(By.TAG_NAME, "body").get_attribute("data-views") or 0)


def wait_for_view(browser, after):
    """Waits until the page has shown a view more than ``after``."""
    WebDriverWait(browser, 20).until(lambda b: views(b) > after)


def shown_owners(browser):
    """The board as the page's SVG draws it: the seat of each covered cell, -1 elsewhere."""
    size = 20
    owners = np.full((20, 20), -1)
    cells = browser.execute_script(
        "return [...document.querySelectorAll('#board g.board rect[data-seat]')]"
        ".map(r => [r.getAttribute('x'), r.getAttribute('y'), r.dataset.seat]);"
    )
    for x, y, seat in cells:
        owners[int(y) // size, int(x) // size] = int(seat)
    return owners


def expected_owners(history):
    return tavlok.State.from_history(history).board(0).owners


def test_the_page_steps_through_a_recorded_game(browser):
    records = []
    tavlok.arena(["greedy", "random", "mcts:40", "random"], 2, seed=8, record=records)
    server = serving(Replay(records))
    try:
        browser.get(url(server))
        WebDriverWait(browser, 20).until(
            lambda b: b.find_element(By.TAG_NAME, "body").get_attribute("data-ready") == "1"
        )
        record = records[0]
        end = len(record.history)
        # The page opens at the end of the first game, with its scores.
        assert (shown_owners(browser) == expected_owners(record.history)).all()
        rows = browser.find_elements(By.CSS_SELECTOR, "#scores tr")
        assert [row.find_elements(By.TAG_NAME, "td")[2].text for row in rows] == [
            str(s) for s in record.scores
        ]
        body = browser.find_element(By.TAG_NAME, "body")
        seen = views(browser)
        body.send_keys(Keys.HOME)
        wait_for_view(browser, seen)
        assert (shown_owners(browser) == -1).all()
        for step in range(1, 6):
            seen = views(browser)
            body.send_keys(Keys.ARROW_RIGHT)
            wait_for_view(browser, seen)
            assert (shown_owners(browser) == expected_owners(record.history[:step])).all()
            last = browser.find_elements(By.CSS_SELECTOR, "#board path.last-move")
            assert len(last) == 1
            current = browser.find_element(By.CSS_SELECTOR, "#move-list li.current")
            seat = (step - 1) % 4  # every seat can move in the first rounds
            assert current.text == f"seat {seat}: {decode(turned(record.history[step - 1], seat))}"
        seen = views(browser)
        body.send_keys(Keys.ARROW_LEFT)
        wait_for_view(browser, seen)
        assert (shown_owners(browser) == expected_owners(record.history[:4])).all()
        # The legal moves of the seat to move, on demand: the grey squares cover exactly the
        # cells that the seat's legal placements can cover.
        seen = views(browser)
        browser.find_element(By.ID, "legal-toggle").click()
        wait_for_view(browser, seen)
        state = tavlok.State.from_history(record.history[:4])
        legal = state.legal_actions()
        covered = {
            r * 20 + c
            for index in legal.tolist()
            for r, c in decode(turned(index, state.seat)).cells
        }
        dots = browser.find_elements(By.CSS_SELECTOR, "#board rect.legal")
        assert {int(dot.get_attribute("data-cell")) for dot in dots} == covered
        assert browser.find_element(By.ID, "legal-count").text.startswith(f"{len(legal)} legal")
        # The slider and the next game.
        seen = views(browser)
        browser.execute_script(
            "const s = document.getElementById('slider'); s.value = 30;"
            "s.dispatchEvent(new Event('input'));"
        )
        wait_for_view(browser, seen)
        assert (shown_owners(browser) == expected_owners(record.history[:30])).all()
        screenshot(browser, "replay-page.png")
        seen = views(browser)
        browser.find_element(By.ID, "next-game").click()
        wait_for_view(browser, seen)
        assert browser.find_element(By.ID, "game-number").text == "game 2 of 2"
        assert (shown_owners(browser) == expected_owners(records[1].history)).all()
        seen = views(browser)
        body.send_keys(Keys.END)
        wait_for_view(browser, seen)
        assert browser.find_element(By.ID, "position").text == (
            f"move {len(records[1].history)} of {len(records[1].history)}"
        )
        assert end > 30
    finally:
        server.shutdown()
        server.server_close()


def screenshot(browser, name):
    ARTIFACTS.mkdir(parents=True, exist_ok=True)
    browser.execute_script("window.scrollTo(0, 0)")
    assert browser.save_screenshot(str(ARTIFACTS / name))


def choose_orientation(browser, orientation):
    """Picks the piece in the hand and turns and flips it to ``orientation`` by clicking."""
    kind = ORIENTATIONS[orientation].kind
    browser.find_element(By.CSS_SELECTOR, f"#hand button[data-kind='{kind}']").click()
    name = browser.find_element(By.ID, "piece-name")
    for flips in range(2):
        for _ in range(4):
            if name.get_attribute("data-orientation") == str(orientation):
                return
            browser.find_element(By.ID, "turn").click()
        if flips == 0:
            browser.find_element(By.ID, "flip").click()
    raise AssertionError(f"no turn or flip of {kind} reaches orientation {orientation}")


def hover(browser, row, col):
    cell = f"#board rect.hit[data-row='{row}'][data-col='{col}']"
    ActionChains(browser).move_to_element(browser.find_element(By.CSS_SELECTOR, cell)).perform()


def previewed(browser, illegal):
    """Waits until the preview is drawn, marked illegal (with a reason below) or not."""

    def drawn(b):
        rects = b.find_elements(By.CSS_SELECTOR, "#board rect.preview")
        marked = {"illegal" in rect.get_attribute("class").split() for rect in rects}
        return marked == {illegal} and bool(b.find_element(By.ID, "hint").text) == illegal

    WebDriverWait(browser, 20).until(drawn)


def test_a_person_plays_a_whole_game_with_clicks(browser):
    kept = []
    live = Live(2, ["greedy", "random", "greedy"], seed=4, record=kept.append)
    server = serving(live)
    rng = np.random.default_rng(1)
    try:
        browser.get(url(server))
        WebDriverWait(browser, 20).until(
            lambda b: b.find_element(By.TAG_NAME, "body").get_attribute("data-ready") == "1"
        )
        seen = views(browser)
        browser.find_element(By.ID, "legal-toggle").click()
        wait_for_view(browser, seen)
        # An illegal click is refused with the engine's reason, and nothing changes.
        choose_orientation(browser, 0)
        before = live.state.history
        browser.find_element(By.CSS_SELECTOR, "#board rect.hit[data-row='5'][data-col='5']").click()
        WebDriverWait(browser, 20).until(
            lambda b: "start corner" in b.find_element(By.ID, "status").text
        )
        assert live.state.history == before
        clicked = []
        while not live.state.is_terminal():
            legal = live.state.legal_actions()
            index = int(rng.choice(legal))
            placement = decode(turned(index, live.human))
            choose_orientation(browser, placement.orientation)
            first_row, first_col = ORIENTATIONS[placement.orientation].cells[0]
            row, col = placement.row + first_row, placement.col + first_col
            if len(clicked) == 5:  # marked illegal where the last piece went, legal where it goes
                hover(browser, *clicked[-1])
                previewed(browser, illegal=True)
                screenshot(browser, "play-page.png")
                hover(browser, row, col)
                previewed(browser, illegal=False)
            clicked.append((row, col))
            seen = views(browser)
            browser.find_element(
                By.CSS_SELECTOR, f"#board rect.hit[data-row='{row}'][data-col='{col}']"
            ).click()
            wait_for_view(browser, seen)
            assert index in live.state.history
            assert (shown_owners(browser) == expected_owners(live.state.history)).all()
            # The legal moves stay shown after the move, for the person's next one.
            count = browser.find_element(By.ID, "legal-count").text
            if not live.state.is_terminal():
                assert count.startswith(f"{len(live.state.legal_actions())} legal move")
        scores = live.state.scores()
        best = [s for s in range(4) if scores[s] == max(scores)]
        colours = ("blue", "yellow", "red", "green")
        winners = " and ".join(f"{s} {colours[s]} ({live.players[s]})" for s in best)
        status = browser.find_element(By.ID, "status").text
        assert status.endswith(
            f"; the game is over: {winners} {'share the win' if len(best) > 1 else 'wins'}"
        )
        assert len(kept) == 1 and kept[0].history == live.state.history
        assert kept[0].scores == live.state.scores()
        screenshot(browser, "play-page-end.png")
    finally:
        server.shutdown()
        server.server_close()
