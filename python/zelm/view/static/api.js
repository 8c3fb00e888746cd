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
