"use strict";

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

// Opens the trace page on trace traceId: on the call with id node when
// given, else where the trace says to open (see openWhereTheTraceSays).
async function showTrace(traceId, node) {
  document.getElementById("list-page").hidden = true;
  document.getElementById("trace-page").hidden = false;
  document.getElementById("heading").textContent = traceId + " (loading\u2026)";
  state.traceId = traceId;
  state.nodes = new Map();
  state.selected = null;
  state.lanes = [];
  showCut(null);
  clear(details);
  delete details.dataset.node;
  details.appendChild(el("p", "hint", "Select a call to see its details."));
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
  showCut(summary.cut);
  await Promise.all([buildTree(), layoutTimeline()]);
  if (state.traceId !== traceId) return;  // another trace was asked for meanwhile
  if (node !== null && node !== undefined) await openNode(node);
  else await openWhereTheTraceSays(summary.opening);
}

// A failed test's trace opens on the call its failure was raised in, the
// path to it open; another trace opens its longest path, its top call
// selected.
async function openWhereTheTraceSays(opening) {
  if (!opening) return;
  await reveal(opening.path, opening.node);
  if (opening.reason === "failure") {
    const entry = state.nodes.get(opening.node);
    if (entry) centreOn(entry.row);
  }
}

// Opens the tree on node id (as a link to it does) and brings it into the
// timeline's window.
async function openNode(id) {
  let node;
  try {
    node = await api("node", { trace: state.traceId, node: id });
  } catch (error) {
    showMessage("cannot open call " + id + ": " + error.message);
    return;
  }
  await reveal(node.path);
  centreOn(node);
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
  if (row.failure) line.classList.add("failure");
  if (row.kind === "call") {
    line.appendChild(el("span", "duration" + (row.finished ? "" : " unfinished"), (row.finished ? "" : ">=") + duration(row.duration)));
    line.appendChild(el("span", "self", "self " + duration(row.self)));
    // A coroutine or generator waited between the times it ran.
    if (row.resumes) line.appendChild(el("span", "awaited", "awaited " + duration(row.awaited)));
    line.appendChild(el("span", "name", row.name));
    if (row.arguments !== null) line.appendChild(el("span", "args", "(" + row.arguments + ")"));
    if (row.raised) line.appendChild(el("span", "ret raised", " raised " + row.raised));
    else if (row.return_value !== null) line.appendChild(el("span", "ret", " \u2192 " + row.return_value));
    line.appendChild(el("span", "loc", row.location));
  } else {
    line.appendChild(el("span", "duration", "*"));
    line.appendChild(el("span", "self"));
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

// Opens the tree down to the last node of path (the ids from its root)
// and selects that node, or the node chosen.
async function reveal(path, chosen) {
  const id = chosen === undefined ? path[path.length - 1] : chosen;
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
  // The address names the selected call, in place of the current entry of
  // the history: Back still leaves the trace.
  const address = traceAddress(state.traceId, id);
  if (location.hash !== address) history.replaceState(null, "", address);
  drawTimeline();
  // A click on the selected call again keeps its details as they are.
  if (details.dataset.node !== String(id)) await showDetails(id);
}

function visibleRows() {
  return Array.from(tree.querySelectorAll(".row")).filter(row => row.offsetParent !== null);
}

const TREE_KEYS = new Set(["ArrowDown", "ArrowUp", "ArrowRight", "ArrowLeft", "Enter"]);

tree.addEventListener("keydown", async event => {
  const rows = visibleRows();
  if (!rows.length || !TREE_KEYS.has(event.key)) return;
  // Now, before anything is awaited: once the listener waits, the browser
  // has already scrolled the tree for the key.
  event.preventDefault();
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
  }
});
