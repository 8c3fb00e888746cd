"use strict";

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
