// zelm's trace viewer. Every value from a trace is untrusted text: it goes
// into the page as textContent or onto the canvas with fillText, never as
// markup.
//
// The page's scripts load in order (see index.html) and share one global
// scope; this last one routes the address to a page.
"use strict";

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
