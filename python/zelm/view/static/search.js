"use strict";

// ---- search ----

const searchBox = document.getElementById("search");

async function search(direction) {
  const query = searchBox.value.trim();
  const status = document.getElementById("search-status");
  highlightMatches(query);
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
