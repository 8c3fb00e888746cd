"use strict";

// ---- the banner of a trace its size budget cut ----

const cutBanner = document.getElementById("cut-banner");

// Says that and where the recorder dropped events (cut: the summary's
// "cut", null for a complete trace), each gap linked to its place in the tree.
function showCut(cut) {
  clear(cutBanner);
  cutBanner.hidden = !cut;
  if (!cut) return;
  const budget = cut.budget_bytes === null ? "" : " of " + size(cut.budget_bytes);
  cutBanner.appendChild(el("strong", null, "Incomplete trace: "));
  cutBanner.appendChild(document.createTextNode(
    "the recorder reached its size budget" + budget + " and dropped " + eventCount(cut.dropped_events) +
    ". The calls around each gap are kept; what happened in it is not."));
  const gaps = cutBanner.appendChild(el("ul"));
  for (const gap of cut.gaps) {
    const item = gaps.appendChild(el("li", "gap"));
    item.appendChild(document.createTextNode(eventCount(gap.dropped_events) + " " + gapWhen(gap) +
      " in thread " + gap.thread_name + gapWhere(gap) + " "));
    const link = item.appendChild(el("a", null, "show in the tree"));
    link.href = "#";
    link.addEventListener("click", event => {
      event.preventDefault();
      openNode(gap.node);
    });
  }
}

function eventCount(number) {
  return number.toLocaleString("en") + (number === 1 ? " event" : " events");
}

function gapWhen(gap) {
  if (gap.from === null) return "dropped";
  return "dropped from +" + duration(gap.from) + (gap.until === null ? " on" : " to +" + duration(gap.until));
}

function gapWhere(gap) {
  if (!gap.qualname && !gap.location) return "";
  return ", the first in " + (gap.qualname || "?") + (gap.location ? " (" + gap.location + ")" : "");
}
