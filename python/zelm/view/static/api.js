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
    for (const key of data.detail_only[copy.kind]) delete copy[key];
    return Object.assign(copy, data.rows[id]);
  };
  const known = id => {
    if (!(id in data.nodes)) throw new Error("no node " + id + " in this trace");
    return id;
  };
  const optionalThread = params => params.thread === undefined || params.thread === null || params.thread === "" ? null : Number(params.thread);
  const table = thread => {
    const found = data.functions[thread === null ? "all" : String(thread)];
    if (!found) throw new Error("no node thread " + thread + " in this trace");
    return found;
  };
  const functionCalls = params => {
    const entry = table(optionalThread(params)).find(entry => entry.qualname === params.qualname && entry.path === params.path);
    if (!entry) throw new Error("no function " + params.qualname + " of " + params.path + " in this table");
    return page(entry.nodes, { offset: params.offset });
  };
  // The calls along a flame graph box's call path: those whose ancestors
  // are, level by level, calls of the path's functions.
  const pathCalls = params => {
    const thread = Number(params.thread), functions = table(thread);
    const wanted = JSON.parse(params.call_path).map(([qualname, path]) => {
      const position = functions.findIndex(entry => entry.qualname === qualname && entry.path === path);
      if (position < 0) throw new Error("no function " + qualname + " of " + path + " in this thread");
      return position;
    });
    if (!wanted.length) throw new Error("an empty call path");
    const positionOf = new Map();
    functions.forEach((entry, position) => entry.nodes.forEach(id => positionOf.set(id, position)));
    const ids = functions[wanted[wanted.length - 1]].nodes.filter(id => {
      const path = data.nodes[id].path;
      return path.length === wanted.length && wanted.every((position, level) => positionOf.get(path[level]) === position);
    });
    return page(ids, { offset: params.offset });
  };
  return async function (endpoint, params) {
    params = params || {};
    switch (endpoint) {
      case "traces": return { traces: data.listing ? [data.listing] : [] };
      case "summary": return data.summary;
      case "roots": return page(data.roots[Number(params.thread)] || [], params);
      case "children": return page(data.children[known(Number(params.node))] || [], params);
      case "node": return data.nodes[known(Number(params.node))];
      case "source": {
        // The lines around a location are held once, under the location.
        const node = data.nodes[known(Number(params.node))];
        const held = node.kind === "call" && Object.prototype.hasOwnProperty.call(data.sources, node.location);
        return held ? data.sources[node.location] : { available: false, reason: "not in this file" };
      }
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
      case "functions": {
        const thread = optionalThread(params);
        const functions = table(thread).map(entry => {
          const copy = Object.assign({}, entry);
          delete copy.nodes;
          return copy;
        });
        return { thread, functions };
      }
      case "flame": {
        const graph = data.flames[Number(params.thread)];
        if (!graph) throw new Error("no node thread " + params.thread + " in this trace");
        return graph;
      }
      case "calls": return params.call_path === undefined ? functionCalls(params) : pathCalls(params);
      case "timeline": {
        const begin = Number(params.begin), finish = Number(params.finish), thread = Number(params.thread);
        const timeline = data.timelines[thread] || { boxes: [], marks: [], spans: [] };
        const within = (start, length) => start <= finish && start + length >= begin;
        const query = String(params.q || "").toLowerCase();
        const matches = !query ? [] : timeline.boxes.filter(box => within(box[2], box[3]) && box[5].toLowerCase().includes(query))
          .map(box => [box[0], box[1], box[2], box[3], 1]);
        return {
          boxes: timeline.boxes.filter(box => within(box[2], box[3])),
          marks: timeline.marks.filter(mark => within(mark[2], 0)),
          spans: timeline.spans.filter(span => within(span[3], span[4])),
          matches, truncated: false,
        };
      }
    }
    throw new Error("no API endpoint " + endpoint);
  };
}
