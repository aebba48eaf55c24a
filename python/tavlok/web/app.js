// The replay and play page: everything it shows comes from the server's JSON ("The page's
// interface" in docs/records.md); it decides no rule, not even who won, and decodes no index.
"use strict";

const SVG = "http://www.w3.org/2000/svg";
const $ = (id) => document.getElementById(id);

let pieces = null; // orientations with their cells, turns and flips; colours and names of seats
let view = null; // what the server last showed
let game = 0;
let move = null; // the replay's position (null: the end)
let showLegal = false;
let chosen = null; // the orientation of the piece in hand (live games)
let legal = new Set(); // the placements the person may make now, "orientation row col" (live)
let hovered = null; // the board cell [row, col] under the pointer, for the preview
let checks = 0; // counts the preview's questions, so that a late answer to an old one is dropped
let busy = false;

async function api(path, body) {
  const options = body === undefined ? {} : {
    method: "POST", headers: {"Content-Type": "application/json"}, body: JSON.stringify(body),
  };
  const response = await fetch(path, options);
  const data = await response.json();
  if (!response.ok) throw new Error(data.error || response.statusText);
  return data;
}

function say(text, error = false) {
  $("status").textContent = text;
  $("status").className = error ? "error" : "";
}

function legalWanted() {
  // A live game always takes the legal moves: the preview marks an illegal spot with them.
  return showLegal || view === null || view.mode === "live" ? 1 : 0;
}

async function load() {
  let path = `/api/view?legal=${legalWanted()}`;
  if (view !== null && view.mode === "replay") {
    path += `&game=${game}` + (move === null ? "" : `&move=${move}`);
  }
  try {
    show(await api(path));
  } catch (error) {
    say(error.message, true);
  }
}

function show(next) {
  view = next;
  if (view.mode === "replay") move = view.move;
  legal = new Set((view.placements || []).map((placement) => placement.join(" ")));
  document.body.dataset.mode = view.mode;
  // Counts what the page has shown, so that a watcher can tell when an answer has arrived.
  document.body.dataset.views = String(Number(document.body.dataset.views || 0) + 1);
  drawBoard();
  drawMoves();
  drawScores();
  drawControls();
  if (view.mode === "live") drawHand();
}

function boardGroup() {
  return $("board").querySelector("g.board");
}

function cellSize() {
  return Number(boardGroup().querySelector("rect").getAttribute("width")) / pieces.board_size;
}

function addRect(group, row, col, size, attributes) {
  const rect = document.createElementNS(SVG, "rect");
  rect.setAttribute("x", col * size);
  rect.setAttribute("y", row * size);
  rect.setAttribute("width", size);
  rect.setAttribute("height", size);
  for (const [name, value] of Object.entries(attributes)) rect.setAttribute(name, value);
  group.appendChild(rect);
  return rect;
}

function placementCells([orientation, row, col]) {
  // A placement as the server decodes it: an orientation and its top-left corner on the board.
  return pieces.orientations[orientation].cells.map(([r, c]) => [row + r, col + c]);
}

function drawBoard() {
  $("board").innerHTML = view.svg;
  const group = boardGroup();
  const size = cellSize();
  $("legal-count").textContent = "";
  if (showLegal && view.placements) {
    const kind = chosen === null ? null : pieces.orientations[chosen].kind;
    const moves = view.placements.filter(([o]) => kind === null ||
      pieces.orientations[o].kind === kind);
    const covered = new Map(); // each cell once, by its number on the board
    for (const placement of moves) {
      for (const [r, c] of placementCells(placement)) covered.set(r * pieces.board_size + c, [r, c]);
    }
    const inset = size * 0.35;
    for (const [cell, [r, c]] of covered) {
      addRect(group, 0, 0, size - 2 * inset, {class: "legal", "data-cell": cell,
        x: c * size + inset, y: r * size + inset});
    }
    $("legal-count").textContent = `${moves.length} legal move${moves.length === 1 ? "" : "s"}` +
      (kind === null ? "" : ` with the ${kind}`) + "; grey squares: cells they can cover";
  }
  if (view.mode === "live" && !view.over && view.to_move === view.human) {
    for (let r = 0; r < pieces.board_size; r++) {
      for (let c = 0; c < pieces.board_size; c++) {
        const hit = addRect(group, r, c, size, {class: "hit", "data-row": r, "data-col": c});
        hit.addEventListener("mouseenter", () => preview(r, c));
        hit.addEventListener("click", () => place(r, c));
      }
    }
    if (hovered !== null) preview(...hovered);
  }
}

function anchor(row, col) {
  // The piece's first cell (top row, leftmost) goes where the person points.
  const [r0, c0] = pieces.orientations[chosen].cells[0];
  return [row - r0, col - c0];
}

function preview(row, col) {
  hovered = [row, col];
  const asked = ++checks;
  const group = boardGroup();
  group.querySelectorAll("rect.preview").forEach((rect) => rect.remove());
  $("board").classList.remove("illegal-spot");
  $("hint").textContent = "";
  if (chosen === null || group.querySelector("rect.hit") === null) return;
  const [top, left] = anchor(row, col);
  const cells = pieces.orientations[chosen].cells.map(([r, c]) => [top + r, left + c]);
  const side = pieces.board_size;
  const inside = cells.every(([r, c]) => r >= 0 && r < side && c >= 0 && c < side);
  const allowed = inside && legal.has(`${chosen} ${top} ${left}`);
  const size = cellSize();
  for (const [r, c] of cells) {
    const rect = addRect(group, r, c, size, {class: allowed ? "preview" : "preview illegal",
      fill: pieces.colours[view.human], opacity: 0.6});
    group.insertBefore(rect, group.querySelector("rect.hit"));
  }
  if (!allowed) {
    $("board").classList.add("illegal-spot");
    explain(asked, {orientation: chosen, row: top, col: left});
  }
}

function unhover() {
  hovered = null;
  checks++;
  $("board").querySelectorAll("rect.preview").forEach((rect) => rect.remove());
  $("board").classList.remove("illegal-spot");
  $("hint").textContent = "";
}

async function explain(asked, placement) {
  // The server says why, in the engine's words; the page never judges a move itself.
  try {
    const answer = await api("/api/check", placement);
    if (asked === checks && !answer.legal) $("hint").textContent = answer.reason;
  } catch (error) {
    // A click on the spot reports the error.
  }
}

async function place(row, col) {
  if (busy) return;
  if (chosen === null) {
    say("choose a piece first", true);
    return;
  }
  const [top, left] = anchor(row, col);
  const orientation = pieces.orientations[chosen];
  busy = true;
  try {
    const next = await api(`/api/move?legal=${legalWanted()}`,
      {orientation: chosen, row: top, col: left});
    const played = `${orientation.kind} ${orientation.ordinal} ${top} ${left}`;
    chosen = null;
    show(next);
    say(`you played ${played}` + (view.over ? `; the game is over: ${winners()}` : ""));
  } catch (error) {
    say(`${orientation.kind} ${orientation.ordinal} ${top} ${left}: ${error.message}`, true);
  } finally {
    busy = false;
  }
}

function seatName(seat) {
  return `${seat} ${pieces.names[seat]} (${view.players[seat]})`;
}

function drawMoves() {
  const list = $("move-list");
  list.replaceChildren();
  view.moves.forEach((m, i) => {
    const item = document.createElement("li");
    item.textContent = `seat ${m.seat}: ${m.text}`;
    item.dataset.index = m.index;
    if (view.mode === "replay") {
      if (i === view.move - 1) item.classList.add("current");
      if (i >= view.move) item.classList.add("future");
      item.addEventListener("click", () => go(i + 1));
    }
    list.appendChild(item);
  });
  // Scrolls the list alone: scrollIntoView would scroll the page too, from under the pointer.
  const current = list.querySelector("li.current") || list.lastElementChild;
  if (current) {
    const top = current.offsetTop;
    const bottom = top + current.offsetHeight;
    if (top < list.scrollTop) list.scrollTop = top;
    else if (bottom > list.scrollTop + list.clientHeight) {
      list.scrollTop = bottom - list.clientHeight;
    }
  }
}

function drawScores() {
  const scores = view.scores || view.final_scores;
  const table = document.createElement("table");
  for (let seat = 0; seat < pieces.colours.length; seat++) {
    const row = table.insertRow();
    row.dataset.seat = seat;
    const swatch = document.createElement("span");
    swatch.className = "swatch";
    swatch.style.background = pieces.colours[seat];
    row.insertCell().appendChild(swatch);
    row.insertCell().textContent = seatName(seat);
    row.insertCell().textContent = scores ? String(scores[seat]) : "";
    row.insertCell().textContent = view.to_move === seat ? "to move" : "";
  }
  const note = document.createElement("p");
  note.textContent = view.scores ? "final scores" :
    view.final_scores ? "scores at the end of the game" : "the game goes on";
  $("scores").replaceChildren(table, note);
}

function drawControls() {
  const replay = view.mode === "replay";
  $("controls").hidden = !replay;
  $("game-picker").hidden = !replay;
  $("new-game").hidden = replay;
  $("hand-panel").hidden = replay;
  if (replay) {
    $("slider").max = view.length;
    $("slider").value = view.move;
    $("position").textContent = `move ${view.move} of ${view.length}`;
    $("game-number").textContent = `game ${view.game + 1} of ${view.games}`;
    $("title").textContent = view.seed === null ? "" : `seed ${view.seed}`;
  } else {
    $("title").textContent = `you play seat ${view.human} (${pieces.names[view.human]})`;
    if (view.over) say("the game is over: " + winners());
    else if (view.to_move === view.human && !$("status").classList.contains("error") &&
             !$("status").textContent) say("your move");
  }
}

function winners() {
  // The server names the winners, as the engine decides them.
  return view.winners.map(seatName).join(" and ") +
    (view.winners.length > 1 ? " share the win" : " wins");
}

function shape(orientation, size) {
  // The piece's cells centred in a square of five cells, the largest piece's length.
  const cells = pieces.orientations[orientation].cells;
  const rows = Math.max(...cells.map(([r]) => r)) + 1;
  const cols = Math.max(...cells.map(([, c]) => c)) + 1;
  const group = document.createElementNS(SVG, "g");
  group.setAttribute("transform", `translate(${(5 - cols) * size / 2} ${(5 - rows) * size / 2})`);
  for (const [r, c] of cells) {
    addRect(group, r, c, size, {fill: pieces.colours[view.human], stroke: "#3f3f46"});
  }
  return group;
}

function drawHand() {
  const hand = $("hand");
  hand.replaceChildren();
  for (const kind of view.hand) {
    const first = pieces.orientations.findIndex((o) => o.kind === kind);
    const button = document.createElement("button");
    button.dataset.kind = kind;
    button.title = kind;
    button.setAttribute("aria-label", kind);
    const svg = document.createElementNS(SVG, "svg");
    for (const [name, value] of [["width", 40], ["height", 40], ["viewBox", "0 0 40 40"]]) {
      svg.setAttribute(name, value);
    }
    svg.appendChild(shape(first, 8));
    button.appendChild(svg);
    button.addEventListener("click", () => choose(first));
    hand.appendChild(button);
  }
  drawPiece();
}

function choose(orientation) {
  chosen = orientation;
  drawPiece();
  if (showLegal) drawBoard();
  else if (hovered !== null) preview(...hovered);
}

function drawPiece() {
  // Marks the chosen piece in the hand in place, so that a button keeps the keyboard's focus.
  const kind = chosen === null ? null : pieces.orientations[chosen].kind;
  for (const button of $("hand").children) {
    button.classList.toggle("chosen", button.dataset.kind === kind);
    button.setAttribute("aria-pressed", String(button.dataset.kind === kind));
  }
  const name = $("piece-name");
  if (chosen === null) {
    $("piece").replaceChildren();
    name.textContent = "no piece chosen";
    name.dataset.orientation = "";
    return;
  }
  const o = pieces.orientations[chosen];
  name.textContent = `${o.kind} ${o.ordinal}`;
  name.dataset.orientation = chosen;
  $("piece").replaceChildren(shape(chosen, 20));
}

function turn(flip) {
  if (chosen === null) return;
  choose(flip ? pieces.orientations[chosen].flip : pieces.orientations[chosen].turn);
}

function go(to) {
  if (view === null || view.mode !== "replay") return;
  move = Math.max(0, Math.min(view.length, to));
  load();
}

function changeGame(step) {
  if (view === null || view.mode !== "replay") return;
  game = (view.game + step + view.games) % view.games;
  move = null;
  load();
}

async function newGame() {
  chosen = null;
  say("");
  try {
    show(await api(`/api/new?legal=${legalWanted()}`, {}));
  } catch (error) {
    say(error.message, true);
  }
}

function keys(event) {
  if (event.target.tagName === "INPUT" && event.target.type !== "checkbox") return;
  const replay = view !== null && view.mode === "replay";
  const actions = {
    ArrowLeft: () => replay && go(view.move - 1),
    ArrowRight: () => replay && go(view.move + 1),
    Home: () => replay && go(0),
    End: () => replay && go(view.length),
    r: () => turn(false),
    f: () => turn(true),
    l: () => { $("legal-toggle").click(); },
  };
  const action = actions[event.key] || actions[event.key.toLowerCase()];
  if (action) {
    event.preventDefault();
    action();
  }
}

async function start() {
  pieces = await api("/api/pieces");
  $("first").addEventListener("click", () => go(0));
  $("back").addEventListener("click", () => go(view.move - 1));
  $("forward").addEventListener("click", () => go(view.move + 1));
  $("last").addEventListener("click", () => go(view.length));
  $("slider").addEventListener("input", (event) => go(Number(event.target.value)));
  $("prev-game").addEventListener("click", () => changeGame(-1));
  $("next-game").addEventListener("click", () => changeGame(1));
  $("new-game").addEventListener("click", newGame);
  $("turn").addEventListener("click", () => turn(false));
  $("flip").addEventListener("click", () => turn(true));
  $("legal-toggle").addEventListener("change", (event) => {
    showLegal = event.target.checked;
    load();
  });
  $("board").addEventListener("mouseleave", unhover);
  document.addEventListener("keydown", keys);
  await load();
  document.body.dataset.ready = "1";
}

start().catch((error) => say(error.message, true));
