"use strict";

// ---- the timeline ----
//
// One lane per shown thread, a row per call depth, as deep as the thread's
// calls go: the lanes scroll inside #timeline-box while the canvas stays
// at the box's top (sticky) and draws the rows in view only. A ruler of
// the times since the trace's first record runs along the canvas's top;
// the overview above shows the whole trace with the window in view marked.

const canvas = document.getElementById("timeline");
const timelineBox = document.getElementById("timeline-box");
const timelineSizer = document.getElementById("timeline-sizer");
const overview = document.getElementById("timeline-overview");
const tip = document.getElementById("timeline-tip");
const ROW = 16, LANE_HEAD = 16, LANE_GAP = 4, RULER = 20;
const MARK_COLOUR = "#7a1f6b", SPAN_COLOUR = "#7a1f6b", MATCH_COLOUR = "#0a58ca", SELECTED_COLOUR = "#ffcc33";
// Rows of a lane the overview shows; deeper calls would be slivers there.
const OVERVIEW_ROWS = 8;
let timelineRequest = 0, overviewRequest = 0;
// The height of all the lanes, which the box scrolls through.
let lanesHeight = 0;
// The query whose matches the timeline highlights, for the trace it was made in.
let highlighted = { traceId: null, query: "" };
// Where the last drawing put everything, in the canvas's pixels: what the
// pointer hits, and what the page's tests read.
let timelineLayout = { boxes: [], marks: [], spans: [], matches: [], ticks: [], lanes: [], overview: null };

function layoutTimeline() {
  let top = 0;
  state.lanes = shownThreads().map(thread => {
    const lane = { thread, top, height: LANE_HEAD + thread.rows * ROW, reply: null, whole: null };
    top += lane.height + LANE_GAP;
    return lane;
  });
  lanesHeight = top;
  sizeTimeline();
  return fetchTimeline();
}

// The canvas fills the box's height; the sizer below it gives the box the
// lanes' height to scroll through.
function sizeTimeline() {
  const height = timelineBox.clientHeight;
  canvas.style.height = height + "px";
  timelineSizer.style.height = Math.max(0, RULER + lanesHeight - height) + "px";
}

function canvasWidth() {
  return Math.max(100, canvas.clientWidth);
}

function totalDuration() {
  return Math.max(state.summary ? state.summary.duration : 0, 1e-6);
}

let fetchPending = null;
function scheduleFetch() {
  drawTimeline();
  if (fetchPending) clearTimeout(fetchPending);
  fetchPending = setTimeout(() => { fetchPending = null; fetchTimeline(); }, 60);
}

async function fetchTimeline() {
  const request = ++timelineRequest;
  const lanes = state.lanes;
  const { begin, finish } = state.view;
  const query = highlighted.traceId === state.traceId ? highlighted.query : "";
  const width = canvasWidth();
  const replies = await Promise.all(lanes.map(lane =>
    api("timeline", { trace: state.traceId, thread: lane.thread.number, begin, finish, width, q: query || null })
      .catch(() => null)));
  if (request !== timelineRequest) return;  // a newer view was asked for meanwhile
  const whole = begin <= 0 && finish >= totalDuration();
  replies.forEach((reply, index) => {
    if (!reply) return;
    lanes[index].reply = reply;
    if (whole && !lanes[index].whole) lanes[index].whole = reply;
  });
  drawTimeline();
  if (lanes.some(lane => !lane.whole)) fetchOverview(lanes);
}

// The whole trace for the overview, once per layout of the lanes.
async function fetchOverview(lanes) {
  const request = ++overviewRequest;
  const width = Math.max(100, overview.clientWidth);
  const replies = await Promise.all(lanes.map(lane => lane.whole ? lane.whole :
    api("timeline", { trace: state.traceId, thread: lane.thread.number, begin: 0, finish: totalDuration(), width })
      .catch(() => null)));
  if (request !== overviewRequest || lanes !== state.lanes) return;
  replies.forEach((reply, index) => { if (reply) lanes[index].whole = reply; });
  drawOverview();
}

function toX(time, width) {
  return (time - state.view.begin) / (state.view.finish - state.view.begin) * width;
}

// A canvas sized to its box in device pixels, its context in CSS pixels.
function prepare(target) {
  const width = Math.max(1, target.clientWidth), height = Math.max(1, target.clientHeight);
  const ratio = window.devicePixelRatio || 1;
  target.width = Math.round(width * ratio);
  target.height = Math.round(height * ratio);
  const ctx = target.getContext("2d");
  ctx.setTransform(ratio, 0, 0, ratio, 0, 0);
  ctx.clearRect(0, 0, width, height);
  ctx.font = "11px system-ui, sans-serif";
  ctx.textBaseline = "middle";
  return ctx;
}

function drawTimeline() {
  const width = canvasWidth(), height = canvas.clientHeight;
  const ctx = prepare(canvas);
  const scroll = timelineBox.scrollTop;
  const layout = { boxes: [], marks: [], spans: [], matches: [], ticks: [], lanes: [], overview: null };
  // The lanes under the ruler.
  ctx.save();
  ctx.beginPath();
  ctx.rect(0, RULER, width, height - RULER);
  ctx.clip();
  for (const lane of state.lanes) {
    const top = RULER + lane.top - scroll;
    if (top >= height || top + lane.height <= RULER) continue;
    layout.lanes.push({ thread: lane.thread.number, top, bottom: top + lane.height });
    ctx.fillStyle = "#eef0f3";
    ctx.fillRect(0, top, width, LANE_HEAD);
    ctx.fillStyle = "#333";
    const truncated = lane.reply && lane.reply.truncated ? "  (too many boxes in this window: zoom in to see all)" : "";
    ctx.fillText(lane.thread.name + " (" + lane.thread.thread_id + ")" + truncated, 4, top + LANE_HEAD / 2);
    if (lane.reply) drawLane(ctx, lane, top, width, height, layout);
  }
  ctx.restore();
  drawRuler(ctx, width, layout);
  timelineLayout = layout;
  drawOverview();
}

// Calls' boxes, then the search's matches around them, then the HTTP
// exchanges and the plugin records over them; rows out of view are skipped.
function drawLane(ctx, lane, top, width, height, layout) {
  const reply = lane.reply, thread = lane.thread.number;
  const rowTop = depth => top + LANE_HEAD + depth * ROW;
  const inView = depth => rowTop(depth) + ROW > RULER && rowTop(depth) < height;
  for (const box of reply.boxes) {
    const [id, depth, start, length, count, name, module, raised] = box;
    if (!inView(depth)) continue;
    const x = toX(start, width);
    const w = Math.max(1, toX(start + length, width) - x);
    const y = rowTop(depth);
    // Clipped to a little past the canvas: far-off coordinates draw badly.
    const left = Math.max(x, -2), right = Math.min(x + w, width + 2);
    ctx.fillStyle = id === state.selected ? SELECTED_COLOUR : raised ? ERROR_COLOUR : colour(module);
    ctx.globalAlpha = count > 1 ? 0.6 : 1;
    ctx.fillRect(left, y + 1, right - left, ROW - 2);
    ctx.globalAlpha = 1;
    const labelled = Boolean(name) && right - Math.max(x, 0) > 30;
    if (labelled) {
      ctx.save();
      ctx.beginPath();
      ctx.rect(left, y, right - left, ROW);
      ctx.clip();
      ctx.fillStyle = raised && id !== state.selected ? "#fff" : "#111";
      ctx.fillText(name, Math.max(x, 0) + 3, y + ROW / 2);
      ctx.restore();
    }
    layout.boxes.push({ thread, id, depth, x, y, w, h: ROW, start, length, count, name, raised: Boolean(raised), labelled });
  }
  ctx.strokeStyle = MATCH_COLOUR;
  ctx.lineWidth = 2;
  for (const match of reply.matches) {
    const [id, depth, start, length, count] = match;
    if (!inView(depth)) continue;
    const x = toX(start, width);
    const w = Math.max(3, toX(start + length, width) - x);
    const y = rowTop(depth);
    ctx.strokeRect(Math.max(x, -2), y + 1, Math.min(x + w, width + 2) - Math.max(x, -2), ROW - 2);
    layout.matches.push({ thread, id, depth, x, y, w, h: ROW, count });
  }
  for (const span of reply.spans) {
    const [request, response, depth, start, length, text, failed] = span;
    if (!inView(depth)) continue;
    const x = toX(start, width), end = toX(start + length, width);
    const y = rowTop(depth);
    const left = Math.max(x, -2), right = Math.max(left + 1, Math.min(end, width + 2));
    // A bracket under the row's calls: a bar along the row's foot, the
    // request and the response as ticks at its ends.
    ctx.fillStyle = failed ? ERROR_COLOUR : SPAN_COLOUR;
    ctx.fillRect(left, y + ROW - 5, right - left, 4);
    if (x >= -2) ctx.fillRect(x - 1, y + 2, 2, ROW - 3);
    if (end <= width + 2) ctx.fillRect(end - 1, y + 2, 2, ROW - 3);
    if (right - left > 40) {
      ctx.save();
      ctx.beginPath();
      ctx.rect(left + 3, y, right - left - 6, ROW);
      ctx.clip();
      ctx.font = "10px system-ui, sans-serif";
      ctx.fillText(text, left + 4, y + ROW / 2 - 2);
      ctx.restore();
    }
    layout.spans.push({ thread, request, response, depth, x, end, y, h: ROW, start, length, text, failed: Boolean(failed) });
  }
  for (const mark of reply.marks) {
    const [id, depth, time, count, name] = mark;
    if (!inView(depth)) continue;
    const x = toX(time, width);
    const y = rowTop(depth) + ROW / 2;
    ctx.fillStyle = MARK_COLOUR;
    ctx.beginPath();
    ctx.moveTo(x, y - 5); ctx.lineTo(x + 4, y); ctx.lineTo(x, y + 5); ctx.lineTo(x - 4, y);
    ctx.closePath();
    ctx.fill();
    layout.marks.push({ thread, id, depth, x, y, top: y - 5, bottom: y + 5, time, count, name });
  }
}

// ---- the ruler: times since the trace's first record ----

const TIME_UNITS = [[1, "s"], [1e-3, "ms"], [1e-6, "us"], [1e-9, "ns"]];

// Ticks about every 100 pixels, at 1, 2 or 5 times a power of ten.
function rulerTicks(begin, finish, width) {
  const span = finish - begin;
  const rough = span * 100 / width;
  const power = Math.pow(10, Math.floor(Math.log10(rough)));
  const step = [1, 2, 5, 10].map(factor => factor * power).find(candidate => candidate >= rough) || 10 * power;
  // The unit of the largest time shown, with as many decimals as the step needs:
  // "500.001 ms" rather than "500001 us".
  const largest = Math.max(Math.abs(begin), Math.abs(finish), step);
  const [unit, name] = TIME_UNITS.find(([size]) => largest >= size) || TIME_UNITS[TIME_UNITS.length - 1];
  const decimals = Math.min(9, Math.max(0, Math.ceil(-Math.log10(step / unit) - 1e-9)));
  const ticks = [];
  for (let number = Math.ceil(begin / step); number * step <= finish && ticks.length < 1000; number++) {
    const time = number * step, value = time / unit;
    ticks.push({ time, label: (Math.abs(value) < step / unit / 2 ? 0 : value).toFixed(decimals) + " " + name });
  }
  return ticks;
}

function drawRuler(ctx, width, layout) {
  ctx.fillStyle = "#f6f7f9";
  ctx.fillRect(0, 0, width, RULER);
  ctx.fillStyle = "#ccc";
  ctx.fillRect(0, RULER - 1, width, 1);
  if (!state.summary) return;
  const { begin, finish } = state.view;
  ctx.fillStyle = "#555";
  ctx.textBaseline = "middle";
  for (const tick of rulerTicks(begin, finish, width)) {
    const x = toX(tick.time, width);
    ctx.fillRect(Math.round(x), RULER - 6, 1, 5);
    ctx.fillText(tick.label, x + 3, RULER / 2 - 1);
    layout.ticks.push({ x, label: tick.label });
  }
}

// ---- the overview: the whole trace, the window in view marked ----

function overviewX(time, width) {
  return time / totalDuration() * width;
}

// The overview's calls, drawn once per layout, size and arrival of the
// lanes' replies: the window over them is redrawn at every move.
let overviewImage = null;

function overviewCalls(width, height) {
  const ready = state.lanes.filter(lane => lane.whole).length;
  const key = { lanes: state.lanes, width, height, ready };
  if (overviewImage && Object.keys(key).every(name => overviewImage.key[name] === key[name])) return overviewImage.canvas;
  const image = document.createElement("canvas");
  const ratio = window.devicePixelRatio || 1;
  image.width = Math.round(width * ratio);
  image.height = Math.round(height * ratio);
  const ctx = image.getContext("2d");
  ctx.setTransform(ratio, 0, 0, ratio, 0, 0);
  ctx.fillStyle = "#f6f7f9";
  ctx.fillRect(0, 0, width, height);
  const laneHeight = height / Math.max(1, state.lanes.length);
  state.lanes.forEach((lane, number) => {
    if (!lane.whole) return;
    const rows = Math.min(OVERVIEW_ROWS, lane.thread.rows);
    const rowHeight = Math.max(1, laneHeight / rows);
    for (const [, depth, start, length, , , module, raised] of lane.whole.boxes) {
      if (depth >= rows) continue;
      const x = overviewX(start, width);
      ctx.fillStyle = raised ? ERROR_COLOUR : colour(module);
      ctx.fillRect(x, number * laneHeight + depth * rowHeight, Math.max(1, overviewX(start + length, width) - x), rowHeight);
    }
  });
  overviewImage = { key, canvas: image };
  return image;
}

function drawOverview() {
  if (!state.summary) return;
  const width = Math.max(1, overview.clientWidth), height = Math.max(1, overview.clientHeight);
  const ctx = prepare(overview);
  ctx.drawImage(overviewCalls(width, height), 0, 0, width, height);
  const left = overviewX(state.view.begin, width), right = overviewX(state.view.finish, width);
  ctx.fillStyle = "rgba(36, 48, 64, 0.25)";
  ctx.fillRect(0, 0, Math.max(0, left), height);
  ctx.fillRect(right, 0, Math.max(0, width - right), height);
  ctx.strokeStyle = MATCH_COLOUR;
  ctx.lineWidth = 2;
  // Never thinner than a few pixels, however far the view is zoomed in.
  const middle = (left + right) / 2, half = Math.max(2, (right - left) / 2);
  ctx.strokeRect(middle - half, 1, 2 * half, height - 2);
  timelineLayout.overview = { left, right, width };
}

// ---- moving the window ----

function setView(begin, finish) {
  const total = totalDuration();
  const span = Math.min(total * 1.05, Math.max(finish - begin, 1e-9));
  begin = Math.max(-total * 0.025, Math.min(begin, total * 1.025 - span));
  state.view = { begin, finish: begin + span };
  scheduleFetch();
}

function resetView() {
  setView(0, totalDuration());
}

function zoom(factor, atX) {
  const width = canvasWidth();
  const { begin, finish } = state.view;
  const span = finish - begin;
  const at = begin + span * (atX / width);
  const newSpan = span * factor;
  const newBegin = at - (at - begin) * (newSpan / span);
  setView(newBegin, newBegin + newSpan);
}

function pan(fraction) {
  const { begin, finish } = state.view;
  const shift = (finish - begin) * fraction;
  setView(begin + shift, finish + shift);
}

// Keeps the zoom and brings the node into the window when it is outside.
function centreOn(row) {
  if (!row || !state.summary) return;
  const { begin, finish } = state.view;
  const end = row.start + (row.duration || 0);
  if (row.start >= begin && end <= finish) { drawTimeline(); return; }
  let span = finish - begin;
  if ((row.duration || 0) > span) span = row.duration * 1.2;
  const newBegin = row.start + (row.duration || 0) / 2 - span / 2;
  state.view = { begin: newBegin, finish: newBegin + span };
  scheduleFetch();
}

// Highlights the calls whose qualified name holds query ("" for none).
function highlightMatches(query) {
  if (highlighted.traceId === state.traceId && highlighted.query === query) return;
  highlighted = { traceId: state.traceId, query };
  for (const lane of state.lanes) if (lane.reply) lane.reply.matches = [];
  scheduleFetch();
}

// ---- the pointer and the keys ----

// What is drawn at canvas point (x, y): marks over spans over boxes, and
// of the boxes the one drawn last (a call's own box over the narrow calls
// merged before it in its first pixel). A box holds the whole pixel it
// starts in; then half a pixel around each box counts too.
function hitAt(x, y) {
  const layout = timelineLayout;
  for (const mark of layout.marks) {
    if (Math.abs(mark.x - x) <= 4 && y >= mark.top && y <= mark.bottom) {
      return { id: mark.id, count: mark.count, text: mark.count > 1 ? mark.count + " records" : mark.name, start: mark.time, length: 0 };
    }
  }
  for (const span of layout.spans) {
    if (y >= span.y && y < span.y + span.h && x >= span.x - 1 && x <= span.end + 1) {
      return { id: span.request, count: 1, text: span.text, start: span.start, length: span.length };
    }
  }
  for (const slack of [0, 0.5]) {
    for (let i = layout.boxes.length - 1; i >= 0; i--) {
      const box = layout.boxes[i];
      const left = Math.floor(box.x), right = Math.max(box.x + box.w, left + 1);
      if (y >= box.y && y < box.y + box.h && x >= left - slack && x < right + slack) {
        const text = box.count > 1 ? box.count + " calls" + (box.raised ? ", some raised" : "")
          : box.name + "  " + duration(box.length) + (box.raised ? "  (raised)" : "");
        return { id: box.id, count: box.count, text, start: box.start, length: box.length };
      }
    }
  }
  return null;
}

function hit(event) {
  const rect = canvas.getBoundingClientRect();
  return hitAt(event.clientX - rect.left, event.clientY - rect.top);
}

canvas.addEventListener("wheel", event => {
  event.preventDefault();
  const rect = canvas.getBoundingClientRect();
  if (Math.abs(event.deltaX) > Math.abs(event.deltaY)) pan(event.deltaX / canvasWidth());
  else zoom(Math.pow(1.0015, event.deltaY), event.clientX - rect.left);
}, { passive: false });

canvas.addEventListener("keydown", event => {
  switch (event.key) {
    case "+": case "=": zoom(0.5, canvasWidth() / 2); break;
    case "-": case "_": zoom(2, canvasWidth() / 2); break;
    case "ArrowLeft": pan(event.shiftKey ? -0.5 : -0.1); break;
    case "ArrowRight": pan(event.shiftKey ? 0.5 : 0.1); break;
    case "ArrowUp": timelineBox.scrollTop -= 3 * ROW; break;
    case "ArrowDown": timelineBox.scrollTop += 3 * ROW; break;
    case "0": resetView(); break;
    default: return;
  }
  event.preventDefault();
});

timelineBox.addEventListener("scroll", () => drawTimeline());
document.getElementById("timeline-reset").addEventListener("click", resetView);

// A press on the overview centres the window there; dragging moves it.
let overviewDrag = null;
overview.addEventListener("mousedown", event => {
  if (!state.summary) return;
  event.preventDefault();
  const rect = overview.getBoundingClientRect();
  const width = Math.max(1, overview.clientWidth);
  const { begin, finish } = state.view;
  const at = (event.clientX - rect.left) / width * totalDuration();
  if (at < begin || at > finish) setView(at - (finish - begin) / 2, at + (finish - begin) / 2);
  overviewDrag = { x: event.clientX, begin: state.view.begin, finish: state.view.finish, width };
});

let drag = null;
canvas.addEventListener("mousedown", event => {
  drag = { x: event.clientX, begin: state.view.begin, finish: state.view.finish, moved: false };
  canvas.classList.add("dragging");
});
window.addEventListener("mousemove", event => {
  if (overviewDrag) {
    const shift = (event.clientX - overviewDrag.x) / overviewDrag.width * totalDuration();
    setView(overviewDrag.begin + shift, overviewDrag.finish + shift);
    return;
  }
  if (drag) {
    const dx = event.clientX - drag.x;
    if (Math.abs(dx) > 2) drag.moved = true;
    const shift = -dx / canvasWidth() * (drag.finish - drag.begin);
    setView(drag.begin + shift, drag.finish + shift);
    return;
  }
  if (event.target !== canvas) { tip.hidden = true; return; }
  const found = hit(event);
  tip.hidden = !found;
  if (found) {
    const box = timelineBox.getBoundingClientRect();
    tip.textContent = found.text;
    tip.style.left = (event.clientX - box.left + 12) + "px";
    tip.style.top = (event.clientY - box.top + timelineBox.scrollTop + 12) + "px";
  }
});
window.addEventListener("mouseup", event => {
  overviewDrag = null;
  if (!drag) return;
  const moved = drag.moved;
  drag = null;
  canvas.classList.remove("dragging");
  if (moved) return;
  const found = hit(event);
  if (!found) return;
  if (found.count > 1) {
    // A merged box: zoom in on the calls it stands for.
    const margin = Math.max(found.length, 1e-9) * 0.1;
    setView(found.start - margin, found.start + found.length + margin);
    return;
  }
  api("node", { trace: state.traceId, node: found.id }).then(node => reveal(node.path));
});
window.addEventListener("resize", () => {
  if (!state.summary) return;
  sizeTimeline();
  scheduleFetch();
});
