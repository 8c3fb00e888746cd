"use strict";

// ---- the flame graph: each thread's calls merged by call path ----

// An icicle per shown thread: the thread's time on top, each call path's
// box below its caller's, as wide as its share of the time, heaviest on
// the left. A click on a box widens it to the whole width and lists its
// calls; a click on one of the boxes above it, or "Whole graph", goes back.

const flameCanvas = document.getElementById("flame");
const flameTip = document.getElementById("flame-tip");
const flameCalls = document.getElementById("flame-calls");
const FLAME_ROW = 18, FLAME_HEAD = 18, FLAME_MAX_ROWS = 200;
// lanes: {thread, graph, zoom: the boxes from the graph's root to the one
// shown whole, top, height}; boxes: what the last drawing put where.
const flame = { key: null, lanes: [], boxes: [] };

async function loadFlame() {
  const key = viewKey();
  if (flame.key === key) { drawFlame(); return; }
  flame.key = key;
  flame.lanes = [];
  flameCalls.hidden = true;
  const status = document.getElementById("flame-status");
  status.textContent = "Merging the calls\u2026";
  const threads = shownThreads();
  const graphs = await Promise.all(threads.map(thread =>
    api("flame", { trace: state.traceId, thread: thread.number }).catch(error => ({ error }))));
  if (flame.key !== key) return;
  const failed = graphs.find(graph => graph.error);
  status.textContent = failed ? failed.error.message :
    graphs.some(graph => graph.truncated) ? "the smallest call paths are merged: too many to draw" : "";
  flame.lanes = threads.map((thread, index) => ({ thread, graph: graphs[index], zoom: [graphs[index]] }))
    .filter(lane => !lane.graph.error);
  drawFlame();
}
viewLoaders.set("flame-view", loadFlame);

// The module a box's function is in, coloured as on the timeline.
function moduleOfPath(path) {
  return (path || "?").split("/").pop().replace(/\.[^.]*$/, "") || "?";
}

// Where each box goes: the boxes of the zoom path full width, then the
// zoomed box's descendants by their share of its time.
function layoutFlame(width) {
  const boxes = [];
  let top = 0;
  for (const lane of flame.lanes) {
    lane.top = top;
    const base = top + FLAME_HEAD;
    lane.zoom.forEach((node, depth) => boxes.push({ lane, node, path: lane.zoom.slice(0, depth + 1), x: 0, w: width, depth, y: base + depth * FLAME_ROW }));
    let deepest = lane.zoom.length - 1;
    const place = (node, path, x, w, depth) => {
      if (depth >= FLAME_MAX_ROWS) return;
      deepest = Math.max(deepest, depth);
      let left = x;
      for (const child of node.children || []) {
        const childWidth = node.total > 0 ? w * child.total / node.total : 0;
        if (childWidth < 0.5) break;  // heaviest first: the rest are narrower still
        const childPath = path.concat([child]);
        boxes.push({ lane, node: child, path: childPath, x: left, w: childWidth, depth, y: base + depth * FLAME_ROW });
        place(child, childPath, left, childWidth, depth + 1);
        left += childWidth;
      }
    };
    const zoomed = lane.zoom[lane.zoom.length - 1];
    place(zoomed, lane.zoom, 0, width, lane.zoom.length);
    lane.height = FLAME_HEAD + (deepest + 1) * FLAME_ROW;
    top += lane.height + 6;
  }
  return { boxes, height: top };
}

function flameLabel(node) {
  return node.qualname === undefined ? node.name : node.qualname;
}

function drawFlame() {
  const width = Math.max(100, flameCanvas.parentElement.clientWidth);
  const { boxes, height } = layoutFlame(width);
  flame.boxes = boxes;
  const ratio = window.devicePixelRatio || 1;
  flameCanvas.style.height = Math.max(height, 40) + "px";
  flameCanvas.width = width * ratio;
  flameCanvas.height = Math.max(height, 40) * ratio;
  const ctx = flameCanvas.getContext("2d");
  ctx.setTransform(ratio, 0, 0, ratio, 0, 0);
  ctx.clearRect(0, 0, width, height);
  ctx.font = "11px system-ui, sans-serif";
  ctx.textBaseline = "middle";
  for (const lane of flame.lanes) {
    ctx.fillStyle = "#333";
    ctx.fillText("thread " + lane.thread.name + " (" + lane.thread.thread_id + ")", 4, lane.top + FLAME_HEAD / 2);
  }
  for (const box of boxes) {
    const ancestor = box.depth < box.lane.zoom.length - 1;
    ctx.fillStyle = box.node.qualname === undefined ? "#c9ced6" : colour(moduleOfPath(box.node.path));
    ctx.globalAlpha = ancestor ? 0.45 : 1;
    ctx.fillRect(box.x, box.y + 1, Math.max(box.w - 1, 0.5), FLAME_ROW - 2);
    ctx.globalAlpha = 1;
    if (box.w > 30) {
      ctx.save();
      ctx.beginPath();
      ctx.rect(box.x, box.y, box.w - 1, FLAME_ROW);
      ctx.clip();
      ctx.fillStyle = "#111";
      ctx.fillText(flameLabel(box.node) + "  " + duration(box.node.total), box.x + 3, box.y + FLAME_ROW / 2);
      ctx.restore();
    }
  }
}

function flameHit(event) {
  const rect = flameCanvas.getBoundingClientRect();
  const x = event.clientX - rect.left, y = event.clientY - rect.top;
  return flame.boxes.find(box => x >= box.x && x < box.x + box.w && y >= box.y && y < box.y + FLAME_ROW) || null;
}

function flameTipText(node) {
  const lines = [flameLabel(node)];
  if (node.path) lines.push(node.path);
  lines.push("total " + duration(node.total) + ", self " + duration(node.self) + ", " + node.calls + (node.calls === 1 ? " call" : " calls"));
  return lines.join("\n");
}

flameCanvas.addEventListener("mousemove", event => {
  const found = flameHit(event);
  flameTip.hidden = !found;
  if (!found) return;
  const box = flameCanvas.parentElement.getBoundingClientRect();
  flameTip.textContent = flameTipText(found.node);
  flameTip.style.left = Math.min(event.clientX - box.left + 12, box.width * 0.6) + "px";
  flameTip.style.top = (event.clientY - box.top + flameCanvas.parentElement.scrollTop + 12) + "px";
});
flameCanvas.addEventListener("mouseleave", () => { flameTip.hidden = true; });

flameCanvas.addEventListener("click", event => {
  const found = flameHit(event);
  if (!found) return;
  found.lane.zoom = found.path;
  drawFlame();
  if (found.path.length < 2) { flameCalls.hidden = true; return; }
  const callPath = found.path.slice(1).map(node => [node.qualname, node.path]);
  listCalls(flameCalls, callPath.map(step => step[0]).join(" \u2192 "),
    { thread: found.lane.thread.number, call_path: JSON.stringify(callPath) });
});

document.getElementById("flame-reset").addEventListener("click", () => {
  for (const lane of flame.lanes) lane.zoom = [lane.graph];
  flameCalls.hidden = true;
  drawFlame();
});

window.addEventListener("resize", () => { if (shownView === "flame-view") drawFlame(); });
