"use strict";

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

// Where a call was left by raising: the line, with its text when its file
// is readable here, and what to know about that text.
function raisedAt(where) {
  const box = el("div", "raised-at");
  box.appendChild(el("p", null, "at " + where.location));
  if (where.text !== null) {
    const listing = el("div", "source");
    const line = listing.appendChild(el("div", "current"));
    line.appendChild(el("span", "number", where.line));
    line.appendChild(document.createTextNode(where.text));
    box.appendChild(listing);
  }
  if (where.reason) box.appendChild(el("p", "hint", where.reason));
  return box;
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
  details.appendChild(el("h2", "qualname" + (node.failure ? " failure" : ""), node.name));
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
    // Its duration less its recorded calls': time in its own lines and in unrecorded code.
    fact("self time", duration(node.self)).classList.add("self-time");
    if (node.resumes) {
      // A coroutine or generator: the time it ran apart from the time it waited between resumes.
      fact("ran", duration(node.running) + ", awaited " + duration(node.awaited) + ", resumed " + node.resumes +
           (node.resumes === 1 ? " time" : " times")).classList.add("awaited");
    }
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
      details.appendChild(el("p", "raised failure", node.raised));
      if (node.raised_at) details.appendChild(raisedAt(node.raised_at));
    } else if (node.finished) {
      details.appendChild(el("h3", null, "Return value"));
      details.appendChild(valueTable(node.return_value)).classList.add("return-value");
    }
    if (node.segments.length) {
      // Each time it ran: when, how long, where it stopped and what it yielded or awaited.
      details.appendChild(el("h3", null, "Each time it ran"));
      const table = el("table", "segments");
      for (const segment of node.segments) {
        const tr = el("tr");
        for (const text of ["+" + duration(segment.start), duration(segment.duration), segment.location || "",
                            segment.value === null ? "" : "\u2192 " + segment.value]) {
          tr.appendChild(el("td", null, text));
        }
        table.appendChild(tr);
      }
      details.appendChild(table);
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
      if (reply.note) source.appendChild(el("p", "hint source-note", reply.note));
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
