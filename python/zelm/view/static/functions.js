"use strict";

// ---- the views beside the details: the call tree, the functions, the flame graph ----

// A view's loader runs each time the view is shown or the thread filter
// changes while it is shown; it loads again only when the trace or the
// thread differs from what it holds.
const viewLoaders = new Map();
let shownView = "tree";

function showView(name) {
  shownView = name;
  for (const tab of document.querySelectorAll("#tabs [role=tab]")) {
    const selected = tab.dataset.view === name;
    tab.setAttribute("aria-selected", String(selected));
    document.getElementById(tab.dataset.view).hidden = !selected;
  }
  const loader = viewLoaders.get(name);
  if (loader) loader();
}

for (const tab of document.querySelectorAll("#tabs [role=tab]")) {
  tab.addEventListener("click", () => showView(tab.dataset.view));
}
document.getElementById("thread-filter").addEventListener("change", () => showView(shownView));
// Another trace opens on its call tree.
window.addEventListener("hashchange", () => showView("tree"));

// What a view holds data for: the trace and the thread filter.
function viewKey() {
  return state.traceId + "\n" + state.thread;
}

// ---- the calls one function or flame graph box stands for ----

// Lists a page of the calls the "calls" endpoint gives for params in box;
// clicking one selects it in the call tree and on the timeline.
async function listCalls(box, title, params, offset) {
  const request = String(Number(box.dataset.request || 0) + 1);
  box.dataset.request = request;
  box.hidden = false;
  let reply;
  try {
    reply = await api("calls", Object.assign({ trace: state.traceId, offset: offset || 0 }, params));
  } catch (error) {
    if (box.dataset.request !== request) return;
    clear(box);
    box.appendChild(el("p", "hint", error.message));
    return;
  }
  if (box.dataset.request !== request) return;  // another list was asked for meanwhile
  clear(box);
  box.appendChild(el("h3", null, reply.total + (reply.total === 1 ? " call of " : " calls of ") + title));
  if (reply.offset > 0) {
    const earlier = el("div", "more", "\u2191 " + reply.offset + " earlier");
    earlier.addEventListener("click", () => listCalls(box, title, params, Math.max(0, reply.offset - reply.rows.length)));
    box.appendChild(earlier);
  }
  for (const row of reply.rows) {
    const line = el("div", "row call");
    line.dataset.id = String(row.id);
    line.appendChild(el("span", "start", "+" + duration(row.start)));
    line.appendChild(el("span", "duration" + (row.finished ? "" : " unfinished"), (row.finished ? "" : ">=") + duration(row.duration)));
    line.appendChild(el("span", "name", row.name));
    if (row.arguments !== null) line.appendChild(el("span", "args", "(" + row.arguments + ")"));
    line.addEventListener("click", () => openCall(row));
    box.appendChild(line);
  }
  const after = reply.total - reply.offset - reply.rows.length;
  if (after > 0) {
    const more = el("div", "more", "\u2193 " + after + " more");
    more.addEventListener("click", () => listCalls(box, title, params, reply.offset + reply.rows.length));
    box.appendChild(more);
  }
}

async function openCall(row) {
  showView("tree");
  const node = await api("node", { trace: state.traceId, node: row.id });
  await reveal(node.path);
  centreOn(row);
}

// ---- the table of functions ----

const functionTable = document.getElementById("function-table");
const functionCalls = document.getElementById("function-calls");
// The rows drawn at most; the sort still orders all of them.
const FUNCTION_ROWS = 1000;
const TEXT_COLUMNS = new Set(["qualname", "path"]);
const functionsView = { key: null, functions: [], sortKey: "total", descending: true };

async function loadFunctions() {
  const key = viewKey();
  if (functionsView.key === key) return;
  functionsView.key = key;
  functionsView.functions = [];
  functionCalls.hidden = true;
  clear(functionTable.tBodies[0]);
  const status = document.getElementById("function-status");
  status.textContent = "Adding up the calls\u2026";
  let reply;
  try {
    reply = await api("functions", { trace: state.traceId, thread: state.thread });
  } catch (error) {
    if (functionsView.key === key) {
      status.textContent = error.message;
      functionsView.key = null;
    }
    return;
  }
  if (functionsView.key !== key) return;
  functionsView.functions = reply.functions;
  drawFunctions();
}
viewLoaders.set("functions", loadFunctions);

function compareFunctions(a, b) {
  const key = functionsView.sortKey;
  const order = a[key] < b[key] ? -1 : a[key] > b[key] ? 1 : 0;
  return functionsView.descending ? -order : order;
}

function drawFunctions() {
  const body = functionTable.tBodies[0];
  clear(body);
  const sorted = functionsView.functions.slice().sort(compareFunctions);
  for (const entry of sorted.slice(0, FUNCTION_ROWS)) {
    const tr = el("tr", "function-row");
    tr.appendChild(el("td", "num calls", entry.calls));
    for (const key of ["total", "self", "mean", "max"]) tr.appendChild(el("td", "num " + key, duration(entry[key])));
    tr.appendChild(el("td", "mono qualname", entry.qualname));
    tr.appendChild(el("td", "mono path", entry.path));
    tr.addEventListener("click", () => {
      const previous = body.querySelector("tr.selected");
      if (previous) previous.classList.remove("selected");
      tr.classList.add("selected");
      listCalls(functionCalls, entry.qualname, { thread: state.thread, qualname: entry.qualname, path: entry.path });
    });
    body.appendChild(tr);
  }
  const count = sorted.length;
  document.getElementById("function-status").textContent =
    count > FUNCTION_ROWS ? "the first " + FUNCTION_ROWS + " of " + count + " functions" : count + (count === 1 ? " function" : " functions");
  for (const th of functionTable.tHead.rows[0].cells) {
    const sorted = th.dataset.key === functionsView.sortKey;
    th.classList.toggle("sorted", sorted);
    th.setAttribute("aria-sort", sorted ? (functionsView.descending ? "descending" : "ascending") : "none");
  }
}

for (const th of functionTable.tHead.rows[0].cells) {
  th.addEventListener("click", () => {
    const key = th.dataset.key;
    // A second click turns the order round; a new column starts with the
    // largest numbers, or the names from A.
    functionsView.descending = key === functionsView.sortKey ? !functionsView.descending : !TEXT_COLUMNS.has(key);
    functionsView.sortKey = key;
    drawFunctions();
  });
}
