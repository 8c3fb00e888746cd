// zelm's trace viewer. Every value from a trace is untrusted text: it goes
// into the page as textContent or onto the canvas with fillText, never as
// markup.
//
// The page's scripts load in order (see index.html) and share one global
// scope; this last one routes the address to a page.
"use strict";

// ---- routing ----

// "#trace=ID" opens a trace, "#trace=ID&node=N" its call N.
function traceAddress(traceId, node) {
  return "#trace=" + encodeURIComponent(traceId) + (node === null || node === undefined ? "" : "&node=" + node);
}

function route() {
  showMessage(null);
  const address = new URLSearchParams(location.hash.slice(1));
  const traceId = address.get("trace");
  const node = /^\d+$/.test(address.get("node") || "") ? Number(address.get("node")) : null;
  const shown = !document.getElementById("trace-page").hidden && traceId === state.traceId && state.summary;
  if (traceId && shown && node !== null) openNode(node);
  else if (traceId) showTrace(traceId, node);
  else if (embedded) location.hash = traceAddress(embedded.summary.trace_id);
  else showList();
}

window.addEventListener("hashchange", route);
route();
