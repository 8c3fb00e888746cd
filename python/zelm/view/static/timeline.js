"use strict";

// ---- the timeline ----

const canvas = document.getElementById("timeline");
const tip = document.getElementById("timeline-tip");
const ROW = 16, LANE_HEAD = 16, MAX_ROWS = 60;
let timelineRequest = 0;

function layoutTimeline() {
  let top = 0;
  state.lanes = shownThreads().map(thread => {
    const rows = Math.min(thread.max_depth + 1, MAX_ROWS);
    const lane = { thread, top, height: LANE_HEAD + rows * ROW, reply: null };
    top += lane.height + 4;
    return lane;
  });
  canvas.style.height = Math.max(top, 40) + "px";
  return fetchTimeline();
}

function canvasWidth() {
  return Math.max(100, canvas.clientWidth);
}

let fetchPending = null;
function scheduleFetch() {
  drawTimeline();
  if (fetchPending) clearTimeout(fetchPending);
  fetchPending = setTimeout(() => { fetchPending = null; fetchTimeline(); }, 60);
}

async function fetchTimeline() {
  const request = ++timelineRequest;
  const { begin, finish } = state.view;
  const width = canvasWidth();
  const replies = await Promise.all(state.lanes.map(lane =>
    api("timeline", { trace: state.traceId, thread: lane.thread.number, begin, finish, width }).catch(() => null)));
  if (request !== timelineRequest) return;  // a newer view was asked for meanwhile
  replies.forEach((reply, index) => { if (reply) state.lanes[index].reply = reply; });
  drawTimeline();
}

function toX(time, width) {
  return (time - state.view.begin) / (state.view.finish - state.view.begin) * width;
}

function drawTimeline() {
  const width = canvasWidth();
  const height = canvas.clientHeight;
  const ratio = window.devicePixelRatio || 1;
  canvas.width = width * ratio;
  canvas.height = height * ratio;
  const ctx = canvas.getContext("2d");
  ctx.setTransform(ratio, 0, 0, ratio, 0, 0);
  ctx.clearRect(0, 0, width, height);
  ctx.font = "11px system-ui, sans-serif";
  ctx.textBaseline = "middle";
  for (const lane of state.lanes) {
    ctx.fillStyle = "#eef0f3";
    ctx.fillRect(0, lane.top, width, LANE_HEAD);
    ctx.fillStyle = "#333";
    ctx.fillText(lane.thread.name + " (" + lane.thread.thread_id + ")", 4, lane.top + LANE_HEAD / 2);
    if (!lane.reply) continue;
    for (const box of lane.reply.boxes) {
      const [id, depth, start, length, count, name, module] = box;
      if (depth >= MAX_ROWS) continue;
      const x = toX(start, width);
      const w = Math.max(1, toX(start + length, width) - x);
      const y = lane.top + LANE_HEAD + depth * ROW;
      ctx.fillStyle = id === state.selected ? "#ffcc33" : colour(module);
      ctx.globalAlpha = count > 1 ? 0.6 : 1;
      ctx.fillRect(x, y + 1, w, ROW - 2);
      ctx.globalAlpha = 1;
      if (name && w > 30) {
        ctx.save();
        ctx.beginPath();
        ctx.rect(x, y, w, ROW);
        ctx.clip();
        ctx.fillStyle = "#111";
        ctx.fillText(name, Math.max(x, 0) + 3, y + ROW / 2);
        ctx.restore();
      }
    }
    for (const mark of lane.reply.marks) {
      const [, depth, time] = mark;
      const x = toX(time, width);
      const y = lane.top + LANE_HEAD + Math.min(depth, MAX_ROWS - 1) * ROW + ROW / 2;
      ctx.fillStyle = "#7a1f6b";
      ctx.beginPath();
      ctx.moveTo(x, y - 5); ctx.lineTo(x + 4, y); ctx.lineTo(x, y + 5); ctx.lineTo(x - 4, y);
      ctx.closePath();
      ctx.fill();
    }
  }
}

function hit(event) {
  const rect = canvas.getBoundingClientRect();
  const x = event.clientX - rect.left, y = event.clientY - rect.top;
  const width = canvasWidth();
  for (const lane of state.lanes) {
    if (!lane.reply || y < lane.top + LANE_HEAD || y >= lane.top + lane.height) continue;
    const depth = Math.floor((y - lane.top - LANE_HEAD) / ROW);
    for (const mark of lane.reply.marks) {
      if (Math.min(mark[1], MAX_ROWS - 1) === depth && Math.abs(toX(mark[2], width) - x) <= 4) {
        return { id: mark[0], count: mark[3], text: mark[4], start: mark[2], length: 0 };
      }
    }
    for (const box of lane.reply.boxes) {
      if (box[1] !== depth) continue;
      const left = toX(box[2], width), right = Math.max(left + 1, toX(box[2] + box[3], width));
      if (x >= left - 0.5 && x <= right + 0.5) {
        return { id: box[0], count: box[4], text: box[4] > 1 ? box[4] + " calls" : box[5] + "  " + duration(box[3]), start: box[2], length: box[3] };
      }
    }
  }
  return null;
}

function zoom(factor, atX) {
  const width = canvasWidth();
  const { begin, finish } = state.view;
  const span = finish - begin;
  const at = begin + span * (atX / width);
  const total = Math.max(state.summary.duration, 1e-6);
  const newSpan = Math.min(total * 1.05, Math.max(span * factor, 1e-9));
  let newBegin = at - (at - begin) * (newSpan / span);
  newBegin = Math.max(-total * 0.025, Math.min(newBegin, total * 1.025 - newSpan));
  state.view = { begin: newBegin, finish: newBegin + newSpan };
  scheduleFetch();
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

canvas.addEventListener("wheel", event => {
  event.preventDefault();
  const rect = canvas.getBoundingClientRect();
  zoom(Math.pow(1.0015, event.deltaY), event.clientX - rect.left);
}, { passive: false });

let drag = null;
canvas.addEventListener("mousedown", event => {
  drag = { x: event.clientX, begin: state.view.begin, finish: state.view.finish, moved: false };
  canvas.classList.add("dragging");
});
window.addEventListener("mousemove", event => {
  if (drag) {
    const dx = event.clientX - drag.x;
    if (Math.abs(dx) > 2) drag.moved = true;
    const shift = -dx / canvasWidth() * (drag.finish - drag.begin);
    state.view = { begin: drag.begin + shift, finish: drag.finish + shift };
    scheduleFetch();
    return;
  }
  if (event.target !== canvas) { tip.hidden = true; return; }
  const found = hit(event);
  tip.hidden = !found;
  if (found) {
    const box = canvas.parentElement.getBoundingClientRect();
    tip.textContent = found.text;
    tip.style.left = (event.clientX - box.left + 12) + "px";
    tip.style.top = (event.clientY - box.top + canvas.parentElement.scrollTop + 12) + "px";
  }
});
window.addEventListener("mouseup", event => {
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
    state.view = { begin: found.start - margin, finish: found.start + found.length + margin };
    scheduleFetch();
    return;
  }
  api("node", { trace: state.traceId, node: found.id }).then(node => reveal(node.path));
});
window.addEventListener("resize", () => { if (state.summary) scheduleFetch(); });
