// zelm's trace viewer. Every value from a trace is untrusted text: it goes
// into the page as textContent or onto the canvas with fillText, never as
// markup.
"use strict";

// ---- talking to the server (or to the data an exported file embeds) ----

const embeddedElement = document.getElementById("zelm-data");
const embedded = embeddedElement ? JSON.parse(embeddedElement.textContent) : null;
const api = embedded ? embeddedApi(embedded) : serverApi;

async function serverApi(endpoint, params) {
  const query = new URLSearchParams();
  for (const [key, value] of Object.entries(params || {})) {
    if (value !== null && value !== undefined) query.set(key, String(value));
  }
  // Relative to the page, so under the address's token like the page itself.
  const reply = await fetch("api/" + endpoint + "?" + query.toString());
  const body = await reply.json();
  if (!reply.ok) throw new Error(body.error || reply.statusText);
  return body;
}

// The same answers from an exported trace: every node's details, children
// and source are in the file.
function embeddedApi(data) {
  const page = (ids, params) => {
    let offset = Number(params.offset || 0);
    if (params.containing !== undefined && params.containing !== null) {
      const target = Number(params.containing);
      let position = 0;
      ids.forEach((id, index) => { if (id <= target) position = index; });
      offset = Math.floor(position / data.page_size) * data.page_size;
    }
    return { offset, total: ids.length, rows: ids.slice(offset, offset + data.page_size).map(row) };
  };
  const row = id => {
    const copy = Object.assign({}, data.nodes[id]);
    for (const key of ["path", "children", "data", "call_site", "locals_at_return", "frame_id", "thread_name", "thread_id"]) delete copy[key];
    copy.arguments = data.rows[id].arguments;
    copy.return_value = data.rows[id].return_value;
    copy.raised = data.rows[id].raised;
    return copy;
  };
  const known = id => {
    if (!(id in data.nodes)) throw new Error("no node " + id + " in this trace");
    return id;
  };
  return async function (endpoint, params) {
    params = params || {};
    switch (endpoint) {
      case "traces": return { traces: data.listing ? [data.listing] : [] };
      case "facts": return data.facts;
      case "summary": return data.summary;
      case "roots": return page(data.roots[Number(params.thread)] || [], params);
      case "children": return page(data.children[known(Number(params.node))] || [], params);
      case "node": return data.nodes[known(Number(params.node))];
      case "source": return data.sources[known(Number(params.node))] || { available: false, reason: "not in this file" };
      case "search": {
        const query = String(params.q || "").toLowerCase();
        const thread = params.thread === undefined || params.thread === null || params.thread === "" ? null : Number(params.thread);
        const matches = Object.keys(data.nodes).map(Number).sort((a, b) => a - b).filter(id => {
          const node = data.nodes[id];
          return node.kind === "call" && node.name.toLowerCase().includes(query) && (thread === null || node.thread === thread);
        });
        if (!matches.length) return { count: 0, index: null, node: null };
        let index;
        const current = params.current === undefined || params.current === null ? null : Number(params.current);
        if (current === null) index = params.direction === "previous" ? matches.length - 1 : 0;
        else if (params.direction === "previous") {
          index = matches.length - 1;
          for (let i = matches.length - 1; i >= 0; i--) if (matches[i] < current) { index = i; break; }
        } else {
          index = 0;
          for (let i = 0; i < matches.length; i++) if (matches[i] > current) { index = i; break; }
        }
        return { count: matches.length, index, node: row(matches[index]), path: data.nodes[matches[index]].path };
      }
      case "timeline": {
        const begin = Number(params.begin), finish = Number(params.finish);
        const boxes = (data.boxes[Number(params.thread)] || []).filter(box => box[2] <= finish && box[2] + box[3] >= begin);
        const marks = (data.marks[Number(params.thread)] || []).filter(mark => mark[2] >= begin && mark[2] <= finish);
        return { boxes, marks, truncated: false };
      }
    }
    throw new Error("no API endpoint " + endpoint);
  };
}

// ---- small helpers ----

function el(tag, className, text) {
  const node = document.createElement(tag);
  if (className) node.className = className;
  if (text !== undefined && text !== null) node.textContent = String(text);
  return node;
}

function clear(node) {
  while (node.firstChild) node.removeChild(node.firstChild);
}

function showMessage(text) {
  const message = document.getElementById("message");
  message.hidden = !text;
  message.textContent = text || "";
}

function duration(seconds) {
  if (seconds === null || seconds === undefined) return "?";
  if (seconds < 1e-3) return (seconds * 1e6).toFixed(1) + " us";
  if (seconds < 1) return (seconds * 1e3).toFixed(2) + " ms";
  return seconds.toFixed(3) + " s";
}

function size(bytes) {
  if (bytes === null || bytes === undefined) return "?";
  if (bytes < 1024) return bytes + " B";
  if (bytes < 1024 * 1024) return (bytes / 1024).toFixed(1) + " KiB";
  return (bytes / 1024 / 1024).toFixed(1) + " MiB";
}

function localTime(timestamp) {
  if (timestamp === null || timestamp === undefined) return "?";
  const date = new Date(timestamp * 1000);
  const pad = n => String(n).padStart(2, "0");
  return date.getFullYear() + "-" + pad(date.getMonth() + 1) + "-" + pad(date.getDate()) + " " +
    pad(date.getHours()) + ":" + pad(date.getMinutes()) + ":" + pad(date.getSeconds());
}

// The export marks what JSON cannot tell apart by a one-entry object:
// {"$repr": text} (an object shown by its repr), {"$tuple": [...]} and
// {"$dict": [[key, value], ...]} (a dict whose keys are not all text).
function marker(value) {
  if (!value || typeof value !== "object" || Array.isArray(value)) return null;
  const keys = Object.keys(value);
  if (keys.length !== 1) return null;
  const key = keys[0];
  if (key === "$repr" && typeof value[key] === "string") return key;
  if ((key === "$tuple" || key === "$dict") && Array.isArray(value[key])) return key;
  return null;
}

// A value as Python prints it: strings quoted, reprs bare.
function pyText(value) {
  if (value === null || value === undefined) return "None";
  if (value === true) return "True";
  if (value === false) return "False";
  if (typeof value === "string") {
    return "'" + value.replace(/\\/g, "\\\\").replace(/'/g, "\\'").replace(/\n/g, "\\n") + "'";
  }
  if (Array.isArray(value)) return "[" + value.map(pyText).join(", ") + "]";
  const kind = marker(value);
  if (kind === "$repr") return value.$repr;
  if (kind === "$tuple") {
    const items = value.$tuple.map(pyText);
    return "(" + items.join(", ") + (items.length === 1 ? ",)" : ")");
  }
  if (kind === "$dict") {
    return "{" + value.$dict.map(pair => Array.isArray(pair) ? pyText(pair[0]) + ": " + pyText(pair[1]) : pyText(pair)).join(", ") + "}";
  }
  if (typeof value === "object") return "{" + Object.entries(value).map(([k, v]) => pyText(k) + ": " + pyText(v)).join(", ") + "}";
  return String(value);
}

// A stable colour per module.
function colour(module) {
  let hash = 0;
  for (let i = 0; i < module.length; i++) hash = (hash * 31 + module.charCodeAt(i)) | 0;
  return "hsl(" + (Math.abs(hash) % 360) + ", 55%, 72%)";
}

// ---- the trace list ----

async function showList() {
  document.getElementById("list-page").hidden = false;
  document.getElementById("trace-page").hidden = true;
  document.getElementById("heading").textContent = "traces";
  const body = document.querySelector("#traces tbody");
  clear(body);
  let reply;
  try {
    reply = await api("traces");
  } catch (error) {
    showMessage("cannot list the traces: " + error.message);
    return;
  }
  if (reply.db) document.getElementById("heading").textContent = "traces in " + reply.db;
  const rows = [];
  for (const entry of reply.traces) {
    const tr = el("tr", "trace-row");
    const link = el("a", null, entry.trace_id);
    link.href = "#trace=" + encodeURIComponent(entry.trace_id);
    const idCell = el("td", "mono");
    idCell.appendChild(link);
    tr.appendChild(idCell);
    tr.appendChild(el("td", null, localTime(entry.saved_at)));
    const sourceCell = el("td", null, entry.source === null ? "?" : entry.source);
    if (entry.parent_trace_id) sourceCell.appendChild(childOf(entry.parent_trace_id));
    tr.appendChild(sourceCell);
    const test = el("td", "mono test", entry.test ? testText(entry.test) : "");
    const threads = el("td", "num", "\u2026");
    tr.appendChild(test);
    tr.appendChild(threads);
    tr.appendChild(el("td", "num", entry.records === null ? "?" : entry.records));
    const length = el("td", "num", "\u2026");
    tr.appendChild(length);
    tr.appendChild(el("td", "num", size(entry.size)));
    tr.dataset.text = (entry.trace_id + " " + (entry.source || "") + " " + test.textContent).toLowerCase();
    body.appendChild(tr);
    rows.push({ entry, tr, test, threads, length });
  }
  applyFilter();
  // The facts that need the decoded trace, a few at a time.
  let next = 0;
  const worker = async () => {
    while (next < rows.length) {
      const item = rows[next++];
      try {
        const facts = await api("facts", { trace: item.entry.trace_id });
        item.threads.textContent = facts.threads === null ? "?" : facts.threads;
        item.length.textContent = facts.duration === null ? "?" : duration(facts.duration);
        if (facts.test && !item.entry.test) {
          item.test.textContent = testText(facts.test);
          item.tr.dataset.text += " " + String(facts.test.nodeid || "").toLowerCase();
        }
      } catch (error) {
        item.threads.textContent = item.length.textContent = "?";
      }
    }
  };
  await Promise.all([worker(), worker(), worker()]);
}

// " (child process of trc_...)", linking to the parent's trace.
function childOf(parentId) {
  const note = el("span", "hint", " (child process of ");
  const link = el("a", "mono", parentId);
  link.href = "#trace=" + encodeURIComponent(parentId);
  note.appendChild(link);
  note.appendChild(document.createTextNode(")"));
  return note;
}

function testText(test) {
  return (test.nodeid || "?") + (test.outcome ? " " + test.outcome : "");
}

function applyFilter() {
  const text = document.getElementById("filter").value.trim().toLowerCase();
  let shown = 0, total = 0;
  for (const tr of document.querySelectorAll("#traces tbody tr")) {
    total++;
    tr.hidden = text !== "" && !tr.dataset.text.includes(text);
    if (!tr.hidden) shown++;
  }
  document.getElementById("list-count").textContent = shown + " of " + total + " traces";
}

document.getElementById("filter").addEventListener("input", applyFilter);

// ---- one trace ----

const state = {
  traceId: null,
  summary: null,
  thread: null,        // the thread filter: null for all, else a thread number
  nodes: new Map(),    // node id -> {row, element, childBox, expanded, loaded}
  selected: null,
  view: { begin: 0, finish: 1 },
  lanes: [],           // {thread, top, height, reply}
  searchStatus: null,
};

async function showTrace(traceId) {
  document.getElementById("list-page").hidden = true;
  document.getElementById("trace-page").hidden = false;
  document.getElementById("heading").textContent = traceId + " (loading\u2026)";
  state.traceId = traceId;
  state.nodes = new Map();
  state.selected = null;
  state.lanes = [];
  clear(tree);
  tree.appendChild(el("p", "hint", "Loading the trace (a large one takes a few seconds to decode)\u2026"));
  let summary;
  try {
    summary = await api("summary", { trace: traceId });
  } catch (error) {
    showMessage("cannot open trace " + traceId + ": " + error.message);
    document.getElementById("heading").textContent = traceId;
    return;
  }
  state.summary = summary;
  state.view = { begin: 0, finish: Math.max(summary.duration, 1e-6) };
  document.getElementById("heading").textContent = summary.trace_id + "  " + (summary.source || "");
  const facts = document.getElementById("trace-facts");
  facts.textContent =
    summary.records + " records, " + summary.threads.length + " threads, " + duration(summary.duration);
  if (summary.parent_trace_id) facts.appendChild(childOf(summary.parent_trace_id));
  const select = document.getElementById("thread-filter");
  clear(select);
  select.appendChild(el("option", null, "all threads")).value = "";
  for (const thread of summary.threads) {
    select.appendChild(el("option", null, thread.name + " (" + thread.thread_id + ")")).value = String(thread.number);
  }
  select.value = "";
  state.thread = null;
  await Promise.all([buildTree(), layoutTimeline()]);
}

function shownThreads() {
  return state.summary.threads.filter(thread => state.thread === null || thread.number === state.thread);
}

document.getElementById("thread-filter").addEventListener("change", event => {
  state.thread = event.target.value === "" ? null : Number(event.target.value);
  state.nodes = new Map();
  state.selected = null;
  buildTree();
  layoutTimeline();
});

// ---- the call tree ----

const tree = document.getElementById("tree");

async function buildTree() {
  clear(tree);
  for (const thread of shownThreads()) {
    const head = el("div", "thread-head", "thread " + thread.name + " (" + thread.thread_id + "): " + thread.calls + " calls");
    tree.appendChild(head);
    const box = el("div", "children");
    box.dataset.thread = String(thread.number);
    tree.appendChild(box);
    await loadPage(box, "roots", { thread: thread.number }, 0);
  }
}

// Loads a page of children (or of a thread's roots) into box; "containing"
// asks for the page that holds that descendant.
async function loadPage(box, endpoint, params, offset, containing) {
  const reply = await api(endpoint, Object.assign({ trace: state.traceId, offset, containing }, params));
  clear(box);
  if (reply.offset > 0) {
    const earlier = el("div", "more", "\u2191 " + reply.offset + " earlier");
    earlier.addEventListener("click", () => loadPage(box, endpoint, params, Math.max(0, reply.offset - reply.rows.length)));
    box.appendChild(earlier);
  }
  for (const row of reply.rows) box.appendChild(makeNode(row));
  const after = reply.total - reply.offset - reply.rows.length;
  if (after > 0) {
    const more = el("div", "more", "\u2193 " + after + " more");
    more.addEventListener("click", () => loadPage(box, endpoint, params, reply.offset + reply.rows.length));
    box.appendChild(more);
  }
  return reply;
}

function makeNode(row) {
  const wrapper = el("div", "node");
  const line = el("div", "row " + row.kind);
  line.setAttribute("role", "treeitem");
  line.dataset.id = String(row.id);
  line.style.paddingLeft = (6 + 16 * row.depth) + "px";
  const toggle = el("span", "toggle", row.has_children ? "\u25b8" : "");
  line.appendChild(toggle);
  if (row.kind === "call") {
    line.appendChild(el("span", "duration" + (row.finished ? "" : " unfinished"), (row.finished ? "" : ">=") + duration(row.duration)));
    line.appendChild(el("span", "name", row.name));
    if (row.arguments !== null) line.appendChild(el("span", "args", "(" + row.arguments + ")"));
    if (row.raised) line.appendChild(el("span", "ret raised", " raised " + row.raised));
    else if (row.return_value !== null) line.appendChild(el("span", "ret", " \u2192 " + row.return_value));
    line.appendChild(el("span", "loc", row.location));
  } else {
    line.appendChild(el("span", "duration", "*"));
    line.appendChild(el("span", "name", row.text));
  }
  const childBox = el("div", "children");
  childBox.hidden = true;
  wrapper.appendChild(line);
  wrapper.appendChild(childBox);
  const entry = { row, element: line, childBox, expanded: false, loaded: false };
  state.nodes.set(row.id, entry);
  toggle.addEventListener("click", event => { event.stopPropagation(); toggleNode(row.id); });
  line.addEventListener("click", () => select(row.id));
  line.addEventListener("dblclick", () => toggleNode(row.id));
  return wrapper;
}

async function expand(id, containing) {
  const entry = state.nodes.get(id);
  if (!entry || !entry.row.has_children) return;
  if (!entry.loaded || containing !== undefined) {
    await loadPage(entry.childBox, "children", { node: id }, 0, containing);
    entry.loaded = true;
  }
  entry.expanded = true;
  entry.childBox.hidden = false;
  entry.element.firstChild.textContent = "\u25be";
}

function collapse(id) {
  const entry = state.nodes.get(id);
  if (!entry || !entry.expanded) return;
  entry.expanded = false;
  entry.childBox.hidden = true;
  entry.element.firstChild.textContent = "\u25b8";
}

function toggleNode(id) {
  const entry = state.nodes.get(id);
  if (entry && entry.expanded) collapse(id);
  else return expand(id);
}

// Opens the tree down to node id (path: the ids from its root) and selects it.
async function reveal(path) {
  const id = path[path.length - 1];
  const root = path[0];
  if (!state.nodes.has(root) || !tree.contains(state.nodes.get(root).element)) {
    const thread = await api("node", { trace: state.traceId, node: root }).then(details => details.thread);
    if (state.thread !== null && state.thread !== thread) {
      state.thread = null;
      document.getElementById("thread-filter").value = "";
      state.nodes = new Map();
      await buildTree();
      layoutTimeline();
    }
    const box = tree.querySelector('.children[data-thread="' + thread + '"]');
    await loadPage(box, "roots", { thread }, 0, root);
  }
  for (let i = 0; i < path.length - 1; i++) {
    const entry = state.nodes.get(path[i]);
    const next = path[i + 1];
    if (!entry.loaded || !state.nodes.has(next) || !entry.childBox.contains(state.nodes.get(next).element)) {
      await expand(path[i], next);
    } else {
      await expand(path[i]);
    }
  }
  await select(id);
}

async function select(id) {
  const previous = state.nodes.get(state.selected);
  if (previous) previous.element.classList.remove("selected");
  state.selected = id;
  const entry = state.nodes.get(id);
  if (entry) {
    entry.element.classList.add("selected");
    entry.element.scrollIntoView({ block: "nearest" });
  }
  drawTimeline();
  await showDetails(id);
}

function visibleRows() {
  return Array.from(tree.querySelectorAll(".row")).filter(row => row.offsetParent !== null);
}

tree.addEventListener("keydown", async event => {
  const rows = visibleRows();
  if (!rows.length) return;
  const current = state.nodes.get(state.selected);
  const position = current ? rows.indexOf(current.element) : -1;
  const go = index => {
    const row = rows[Math.max(0, Math.min(rows.length - 1, index))];
    select(Number(row.dataset.id));
  };
  switch (event.key) {
    case "ArrowDown": go(position + 1); break;
    case "ArrowUp": go(position < 0 ? 0 : position - 1); break;
    case "ArrowRight":
      if (current && current.row.has_children && !current.expanded) await expand(state.selected);
      else if (current && current.expanded) go(position + 1);
      break;
    case "ArrowLeft":
      if (current && current.expanded) collapse(state.selected);
      else if (current && current.row.depth > 0) {
        const parent = current.element.parentElement.parentElement.closest(".node");
        if (parent) select(Number(parent.firstChild.dataset.id));
      }
      break;
    case "Enter":
      if (current) await toggleNode(state.selected);
      break;
    default: return;
  }
  event.preventDefault();
});

// ---- details of the selected node ----

const details = document.getElementById("details");

function valueTable(values) {
  const table = el("table");
  if (values && typeof values === "object" && !Array.isArray(values) && !marker(values)) {
    const entries = Object.entries(values);
    if (!entries.length) table.appendChild(el("tr")).appendChild(el("td", "hint", "(none)"));
    for (const [key, value] of entries) {
      const tr = el("tr");
      tr.appendChild(el("td", "key", key));
      tr.appendChild(el("td", "value", pyText(value)));
      table.appendChild(tr);
    }
  } else {
    table.appendChild(el("tr")).appendChild(el("td", "value", pyText(values)));
  }
  return table;
}

async function showDetails(id) {
  let node;
  try {
    node = await api("node", { trace: state.traceId, node: id });
  } catch (error) {
    clear(details);
    details.appendChild(el("p", "hint", error.message));
    return;
  }
  if (state.selected !== id) return;
  clear(details);
  details.dataset.node = String(id);
  details.appendChild(el("h2", "qualname", node.name));
  const facts = el("table", "facts");
  const fact = (key, value) => {
    const tr = el("tr");
    tr.appendChild(el("td", "key", key));
    const cell = el("td");
    if (value instanceof Node) cell.appendChild(value); else cell.textContent = value;
    tr.appendChild(cell);
    facts.appendChild(tr);
    return cell;
  };
  if (node.kind === "call") {
    fact("location", node.location).classList.add("location");
    fact("duration", (node.finished ? "" : ">= ") + duration(node.duration) + (node.finished ? "" : " (no return recorded)"));
  }
  fact("started", "+" + duration(node.start));
  fact("thread", node.thread_name + " (" + node.thread_id + ")");
  if (node.call_site) {
    const link = el("a", "call-site", node.call_site.name + " at " + node.call_site.location);
    link.href = "#";
    link.addEventListener("click", event => {
      event.preventDefault();
      api("node", { trace: state.traceId, node: node.call_site.node }).then(caller => reveal(caller.path));
    });
    fact(node.kind === "call" ? "called from" : "written in", link);
  }
  details.appendChild(facts);
  if (node.kind === "call") {
    const source = el("div", "source-box");
    details.appendChild(source);
    if (node.arguments !== null) {
      details.appendChild(el("h3", null, "Arguments and locals at the call"));
      details.appendChild(valueTable(node.arguments)).classList.add("arguments");
    } else {
      details.appendChild(el("p", "hint", "The call was not recorded (the profiler started inside it)."));
    }
    if (node.raised) {
      details.appendChild(el("h3", null, "Raised"));
      details.appendChild(el("p", "raised", node.raised));
    } else if (node.finished) {
      details.appendChild(el("h3", null, "Return value"));
      details.appendChild(valueTable(node.return_value)).classList.add("return-value");
    }
    if (node.finished) {
      details.appendChild(el("h3", null, "Locals at the return"));
      details.appendChild(valueTable(node.locals_at_return)).classList.add("locals-at-return");
    }
    api("source", { trace: state.traceId, node: id }).then(reply => {
      if (state.selected !== id) return;
      if (!reply.available) {
        source.appendChild(el("p", "hint", reply.reason));
        return;
      }
      source.appendChild(el("h3", null, "Source"));
      const listing = el("div", "source");
      for (const line of reply.lines) {
        const div = el("div", line.number === reply.line ? "current" : null);
        div.appendChild(el("span", "number", line.number));
        div.appendChild(document.createTextNode(line.text));
        listing.appendChild(div);
      }
      source.appendChild(listing);
    }).catch(() => {});
  } else {
    details.appendChild(el("h3", null, "Record"));
    details.appendChild(valueTable(node.data)).classList.add("record-data");
  }
}

// ---- search ----

const searchBox = document.getElementById("search");

async function search(direction) {
  const query = searchBox.value.trim();
  const status = document.getElementById("search-status");
  if (!query) { status.textContent = ""; return; }
  let reply;
  try {
    reply = await api("search", {
      trace: state.traceId, q: query, thread: state.thread, direction,
      current: state.selected,
    });
  } catch (error) {
    status.textContent = error.message;
    return;
  }
  if (!reply.count) {
    status.textContent = "no match";
    return;
  }
  status.textContent = (reply.index + 1) + " of " + reply.count;
  await reveal(reply.path);
  centreOn(reply.node);
}

searchBox.addEventListener("keydown", event => {
  if (event.key === "Enter") { event.preventDefault(); search(event.shiftKey ? "previous" : "next"); }
});
document.getElementById("search-next").addEventListener("click", () => search("next"));
document.getElementById("search-previous").addEventListener("click", () => search("previous"));

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

// ---- routing ----

function route() {
  showMessage(null);
  const match = /^#trace=(.+)$/.exec(location.hash);
  if (match) showTrace(decodeURIComponent(match[1]));
  else if (embedded) location.hash = "#trace=" + encodeURIComponent(embedded.summary.trace_id);
  else showList();
}

window.addEventListener("hashchange", route);
route();
