"use strict";

// ---- the trace list ----

// The status of a request the client got wrong, beside ERROR_COLOUR for
// failures of the application and of tests.
const CLIENT_ERROR_COLOUR = "#b86e00";
const FAILED_OUTCOMES = new Set(["failed", "errored"]);
// Columns whose first click sorts from A rather than from the largest.
const LIST_TEXT_COLUMNS = new Set(["trace_id", "source", "test", "outcome", "request"]);
// What each sortable column sorts by.
const LIST_SORT_VALUES = {
  trace_id: entry => entry.trace_id,
  saved_at: entry => entry.saved_at,
  source: entry => entry.source,
  test: entry => entry.test ? entry.test.nodeid : null,
  outcome: entry => entry.test ? entry.test.outcome : null,
  request: entry => entry.method === null && entry.path === null ? null : (entry.method || "") + " " + (entry.path || ""),
  status: entry => entry.status,
  threads: entry => entry.threads,
  records: entry => entry.records,
  duration: entry => entry.duration,
  size: entry => entry.size,
  dropped_events: entry => entry.dropped_events,
};
// Newest first until a header is clicked.
const listView = { rows: [], sortKey: "saved_at", descending: true };
const traceTable = document.getElementById("traces");

async function showList() {
  document.getElementById("list-page").hidden = false;
  document.getElementById("trace-page").hidden = true;
  document.getElementById("heading").textContent = "traces";
  listView.rows = [];
  clear(traceTable.tBodies[0]);
  let reply;
  try {
    reply = await api("traces");
  } catch (error) {
    showMessage("cannot list the traces: " + error.message);
    return;
  }
  if (reply.db) document.getElementById("heading").textContent = "traces in " + reply.db;
  listView.rows = reply.traces.map(entry => ({ entry, tr: traceRow(entry) }));
  drawList();
}

function traceRow(entry) {
  const tr = el("tr", "trace-row");
  const link = el("a", null, entry.trace_id);
  link.href = "#trace=" + encodeURIComponent(entry.trace_id);
  const idCell = el("td", "mono");
  idCell.appendChild(link);
  tr.appendChild(idCell);
  tr.appendChild(el("td", null, localTime(entry.saved_at)));
  const sourceCell = el("td", "list-source", entry.source === null ? "?" : entry.source);
  if (entry.parent_trace_id) sourceCell.appendChild(childOf(entry.parent_trace_id));
  tr.appendChild(sourceCell);
  tr.appendChild(el("td", "mono list-test", entry.test ? entry.test.nodeid || "?" : ""));
  const outcome = entry.test ? entry.test.outcome || "?" : "";
  const outcomeCell = tr.appendChild(el("td", "list-outcome", outcome));
  if (FAILED_OUTCOMES.has(outcome)) outcomeCell.style.color = ERROR_COLOUR;
  const request = LIST_SORT_VALUES.request(entry);
  tr.appendChild(el("td", "mono list-request", request === null ? "" : request));
  const statusCell = tr.appendChild(el("td", "num list-status", entry.status === null ? "" : entry.status));
  const statusColour = entry.status >= 500 ? ERROR_COLOUR : entry.status >= 400 ? CLIENT_ERROR_COLOUR : null;
  if (statusColour) statusCell.style.color = statusColour;
  tr.appendChild(el("td", "num list-threads", entry.threads === null ? "?" : entry.threads));
  tr.appendChild(el("td", "num list-records", entry.records === null ? "?" : entry.records));
  tr.appendChild(el("td", "num list-duration", duration(entry.duration)));
  tr.appendChild(el("td", "num list-size", size(entry.size)));
  const cut = entry.dropped_events === null ? "" : "cut, " + entry.dropped_events + " events dropped";
  const cutCell = tr.appendChild(el("td", "list-cut", cut));
  if (cut) cutCell.title = "The trace reached its size budget: it keeps its beginning and its end";
  tr.dataset.text = [entry.trace_id, entry.source, entry.test && entry.test.nodeid, outcome, request,
    entry.status, cut].filter(text => text !== null && text !== undefined && text !== "").join(" ").toLowerCase();
  return tr;
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

// Unknown values sort last whichever the order.
function compareListRows(a, b) {
  const value = LIST_SORT_VALUES[listView.sortKey];
  const x = value(a.entry), y = value(b.entry);
  if (x === null || x === undefined || y === null || y === undefined) {
    return (x === null || x === undefined) - (y === null || y === undefined);
  }
  const order = x < y ? -1 : x > y ? 1 : 0;
  return listView.descending ? -order : order;
}

function drawList() {
  const body = traceTable.tBodies[0];
  clear(body);
  for (const row of listView.rows.slice().sort(compareListRows)) body.appendChild(row.tr);
  for (const th of traceTable.tHead.rows[0].cells) {
    const sorted = th.dataset.key === listView.sortKey;
    th.classList.toggle("sorted", sorted);
    th.setAttribute("aria-sort", sorted ? (listView.descending ? "descending" : "ascending") : "none");
  }
  applyFilter();
}

for (const th of traceTable.tHead.rows[0].cells) {
  th.addEventListener("click", () => {
    const key = th.dataset.key;
    // A second click turns the order round; a new column starts with the
    // largest numbers, or the texts from A.
    listView.descending = key === listView.sortKey ? !listView.descending : !LIST_TEXT_COLUMNS.has(key);
    listView.sortKey = key;
    drawList();
  });
}

function applyFilter() {
  const text = document.getElementById("filter").value.trim().toLowerCase();
  let shown = 0;
  for (const { tr } of listView.rows) {
    tr.hidden = text !== "" && !tr.dataset.text.includes(text);
    if (!tr.hidden) shown++;
  }
  document.getElementById("list-count").textContent = shown + " of " + listView.rows.length + " traces";
}

document.getElementById("filter").addEventListener("input", applyFilter);
