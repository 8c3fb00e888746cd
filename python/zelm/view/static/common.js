"use strict";

// ---- small helpers ----

function el(tag, className, text) {
  const node = document.createElement(tag);
  if (className) node.className = className;
  if (text !== undefined && text !== null) node.textContent = String(text);
  return node;
}

function clear(node) {
  while (node.firstChild) node.removeChild(node.firstChild);
}

function showMessage(text) {
  const message = document.getElementById("message");
  message.hidden = !text;
  message.textContent = text || "";
}

function duration(seconds) {
  if (seconds === null || seconds === undefined) return "?";
  if (seconds < 1e-3) return (seconds * 1e6).toFixed(1) + " us";
  if (seconds < 1) return (seconds * 1e3).toFixed(2) + " ms";
  return seconds.toFixed(3) + " s";
}

function size(bytes) {
  if (bytes === null || bytes === undefined) return "?";
  if (bytes < 1024) return bytes + " B";
  if (bytes < 1024 * 1024) return (bytes / 1024).toFixed(1) + " KiB";
  return (bytes / 1024 / 1024).toFixed(1) + " MiB";
}

function localTime(timestamp) {
  if (timestamp === null || timestamp === undefined) return "?";
  const date = new Date(timestamp * 1000);
  const pad = n => String(n).padStart(2, "0");
  return date.getFullYear() + "-" + pad(date.getMonth() + 1) + "-" + pad(date.getDate()) + " " +
    pad(date.getHours()) + ":" + pad(date.getMinutes()) + ":" + pad(date.getSeconds());
}

// The export marks what JSON cannot tell apart by a one-entry object:
// {"$repr": text} (an object shown by its repr), {"$tuple": [...]} and
// {"$dict": [[key, value], ...]} (a dict whose keys are not all text).
function marker(value) {
  if (!value || typeof value !== "object" || Array.isArray(value)) return null;
  const keys = Object.keys(value);
  if (keys.length !== 1) return null;
  const key = keys[0];
  if (key === "$repr" && typeof value[key] === "string") return key;
  if ((key === "$tuple" || key === "$dict") && Array.isArray(value[key])) return key;
  return null;
}

// A value as Python prints it: strings quoted, reprs bare.
function pyText(value) {
  if (value === null || value === undefined) return "None";
  if (value === true) return "True";
  if (value === false) return "False";
  if (typeof value === "string") {
    return "'" + value.replace(/\\/g, "\\\\").replace(/'/g, "\\'").replace(/\n/g, "\\n") + "'";
  }
  if (Array.isArray(value)) return "[" + value.map(pyText).join(", ") + "]";
  const kind = marker(value);
  if (kind === "$repr") return value.$repr;
  if (kind === "$tuple") {
    const items = value.$tuple.map(pyText);
    return "(" + items.join(", ") + (items.length === 1 ? ",)" : ")");
  }
  if (kind === "$dict") {
    return "{" + value.$dict.map(pair => Array.isArray(pair) ? pyText(pair[0]) + ": " + pyText(pair[1]) : pyText(pair)).join(", ") + "}";
  }
  if (typeof value === "object") return "{" + Object.entries(value).map(([k, v]) => pyText(k) + ": " + pyText(v)).join(", ") + "}";
  return String(value);
}

// What failed (a raised call, a failed test, a 5xx response, an error
// logged) is drawn in this colour; the page's styles take it as
// var(--error-colour).
const ERROR_COLOUR = "#d62728";
document.documentElement.style.setProperty("--error-colour", ERROR_COLOUR);

// A stable colour per module.
function colour(module) {
  let hash = 0;
  for (let i = 0; i < module.length; i++) hash = (hash * 31 + module.charCodeAt(i)) | 0;
  return "hsl(" + (Math.abs(hash) % 360) + ", 55%, 72%)";
}
