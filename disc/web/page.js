"use strict";
// The page's side of the check: it takes the medium, hands it to the worker
// (Python runs there, so the page stays usable), answers the worker's
// questions about how this browser reads undeclared pages, and shows what
// came back. Every refusal is one sentence in #status; the page stays usable.

const $ = id => document.getElementById(id);
const started = performance.now();
let worker = null, ready = false, busy = false;

function say(text, refused) {
  $("status").textContent = text;
  $("status").className = refused ? "refused" : "";
}

// What this browser cannot do, in one sentence, or null.
function unable() {
  const serves = "use a current Edge, Chrome, Firefox or Safari";
  if (typeof WebAssembly !== "object") {
    return "This browser runs no WebAssembly, which the check needs: " + serves + ".";
  }
  if (typeof Worker !== "function") return "This browser runs no Web Workers, which the check needs: " + serves + ".";
  if (location.protocol === "file:") {
    return "Opened as a file, this page cannot load its check: serve its folder (quenlo-disc web, or any web " +
      "server) and open it from there.";
  }
  return null;
}

// Chromium's family (Edge, Chrome, Opera, Brave) reads an undeclared page as
// the check's Chromium does; others are not asked.
function chromium() {
  const brands = navigator.userAgentData && navigator.userAgentData.brands;
  return !!brands && brands.some(b => b.brand === "Chromium");
}

function start() {
  const why = unable();
  if (why) return say(why, true);
  if (!("webkitdirectory" in HTMLInputElement.prototype)) {
    $("folder").disabled = true;
    $("limits").textContent = "This browser cannot pick a folder (Edge, Chrome, Firefox 50 and Safari 11.1 can): " +
      "give a .zip of it instead.";
    $("limits").hidden = false;
  }
  worker = new Worker("worker.js");
  worker.onmessage = heard;
  worker.onerror = e => { busy = false; say("The check could not run here (" + (e.message || "its worker failed") +
    "): reload the page, or " + "use a current Edge, Chrome, Firefox or Safari.", true); };
  worker.postMessage({kind: "start"});
  $("folder").onchange = () => {
    const files = Array.from($("folder").files);
    give({files: files.map(f => ({path: f.webkitRelativePath || f.name, file: f}))});
  };
  $("zip").onchange = () => { if ($("zip").files[0]) give({zip: $("zip").files[0], name: $("zip").files[0].name}); };
  const drop = $("drop");
  drop.ondragover = e => { e.preventDefault(); drop.className = "over"; };
  drop.ondragleave = () => { drop.className = ""; };
  drop.ondrop = e => { e.preventDefault(); drop.className = ""; dropped(e.dataTransfer); };
  for (const id of ["start", "label", "code-page"]) $(id).onchange = again;
  for (const radio of document.querySelectorAll("input[name=kind]")) radio.onchange = again;
  const params = new URLSearchParams(location.search);
  if (params.get("stick")) document.querySelector("input[value=stick]").checked = true;
  for (const id of ["start", "label", "code-page"]) if (params.get(id)) $(id).value = params.get(id);
  if (params.get("medium")) fetched(params.get("medium"));
}

let last = null;
function again() { if (last && !busy) give(last); }

function choices() {
  return {stick: document.querySelector("input[name=kind]:checked").value === "stick",
          start: $("start").value, label: $("label").value, "code-page": $("code-page").value};
}

let waiting = null;
function give(medium) {
  if (busy) return say("A check is running: wait for its verdict, then give the next medium.");
  if (medium.files && !medium.files.length) {
    return say("That folder holds no file: pick the folder with the medium's pages in it.", true);
  }
  last = medium;
  if (!ready) { waiting = medium; return say("The check is still loading; it starts as soon as it can."); }
  busy = true;
  $("verdict").hidden = true;
  document.title = "Quenlo check";
  say("Checking…");
  worker.postMessage(Object.assign({kind: "check", choices: choices(), chromium: chromium()}, medium));
}

async function fetched(address) {
  const url = new URL(address, location.href);
  if (url.origin !== location.origin) {
    return say("?medium= loads a zip from this page's own site only: put the zip beside the page.", true);
  }
  say("Loading " + url.pathname + "…");
  try {
    const answer = await fetch(url);
    if (!answer.ok) return say("Could not load " + url.pathname + " (" + answer.status + "): check the address.", true);
    give({zip: await answer.blob(), name: decodeURIComponent(url.pathname.split("/").pop())});
  } catch (e) {
    say("Could not load " + url.pathname + " (" + e.message + "): check the address.", true);
  }
}

// A dropped folder read whole (its files, not their bytes), or a dropped zip.
async function dropped(transfer) {
  const entries = Array.from(transfer.items || []).map(i => i.webkitGetAsEntry && i.webkitGetAsEntry()).filter(e => e);
  if (entries.length === 1 && entries[0].isFile && /\.zip$/i.test(entries[0].name)) {
    const file = transfer.files[0];
    return give({zip: file, name: file.name});
  }
  if (entries.length !== 1 || !entries[0].isDirectory) {
    return say("Drop one folder, or one .zip of it.", true);
  }
  const files = [];
  const walk = async (entry, path) => {
    if (entry.isFile) {
      files.push({path: path + entry.name, file: await new Promise((ok, no) => entry.file(ok, no))});
    } else {
      const reader = entry.createReader();
      for (;;) {
        const some = await new Promise((ok, no) => reader.readEntries(ok, no));
        if (!some.length) break;
        for (const e of some) await walk(e, path + entry.name + "/");
      }
    }
  };
  say("Reading the folder…");
  try {
    await walk(entries[0], "");
  } catch (e) {
    return say("Could not read the dropped folder (" + e.message + "): pick it with the button instead.", true);
  }
  give({files});
}

// How this browser reads an undeclared page: in a frame of no origin, so
// that no parent's encoding is inherited, whose one script is the one that
// tells (the policies here and in the frame allow no other: its hash is
// index.html's). The page's bytes follow <plaintext>, so that none of them
// is markup: nothing of the page runs (scripts, handlers, a refresh) or
// loads (images, frames, preconnections), whatever it holds.
const TELLER = 'addEventListener("DOMContentLoaded", () => parent.postMessage({quenlo: document.characterSet}, "*"))';
const TELLER_HASH = "sha256-P6d4o5Bg8ezKV+9LiBNgdwgZfsjlvYPqPY8Jst5YRzs=";

function read(bytes) {
  try {
    new TextDecoder("utf-8", {fatal: true}).decode(bytes);
    return Promise.resolve("UTF-8"); // what Chromium takes a file of UTF-8's bytes for
  } catch (e) { /* not UTF-8: the detector's to say */ }
  return new Promise(resolve => {
    const before = new TextEncoder().encode('<meta http-equiv="Content-Security-Policy" content="default-src ' +
      "'none'; script-src '" + TELLER_HASH + "'\"><script>" + TELLER + "</script><plaintext>");
    const frame = document.createElement("iframe");
    const url = URL.createObjectURL(new Blob([before, bytes], {type: "text/html"}));
    const done = value => {
      clearTimeout(timer); removeEventListener("message", told); frame.remove(); URL.revokeObjectURL(url);
      resolve(value);
    };
    const told = e => { if (e.source === frame.contentWindow && e.data && e.data.quenlo) done(e.data.quenlo); };
    const timer = setTimeout(() => done(null), 5000);
    addEventListener("message", told);
    frame.sandbox = "allow-scripts";
    frame.hidden = true;
    frame.src = url;
    document.body.append(frame);
  });
}

async function heard(e) {
  const m = e.data;
  if (m.kind === "ready") {
    ready = true;
    say("Ready (loaded in " + ((performance.now() - started) / 1000).toFixed(1) + " s): give the medium.");
    if (waiting) { const w = waiting; waiting = null; give(w); }
  } else if (m.kind === "progress") {
    say(m.text);
  } else if (m.kind === "ask") {
    const answers = {};
    say("Asking this browser how it reads " + m.pages.length + " page(s) that declare no encoding…");
    for (const page of m.pages) answers[page.path] = await read(page.bytes);
    worker.postMessage({kind: "answers", answers});
  } else if (m.kind === "refused") {
    busy = false;
    say(m.text, true);
  } else if (m.kind === "failed") {
    busy = false; ready = !!m.ready;
    say(m.text, true);
  } else if (m.kind === "done") {
    busy = false;
    show(m);
  }
}

function show(m) {
  const doc = JSON.parse(m.json);
  const warnings = doc.findings.filter(f => f.severity === "warning").length;
  const problems = doc.findings.length - warnings;
  $("headline").textContent = doc.verdict === "ready" ? "Ready: the medium works on a Windows PC" :
    "Refused: the medium would fail on a PC";
  const list = $("findings");
  list.textContent = "";
  for (const f of doc.findings) {
    const item = document.createElement("li");
    item.className = f.severity === "warning" ? "warning" : "problem";
    item.textContent = (f.severity === "warning" ? "Warning: " : "Problem: ") + f.message; // with its file and line
    list.append(item);
  }
  $("lines").textContent = m.lines;
  $("result").textContent = m.json;
  const old = $("report").href;
  if (old.startsWith("blob:")) URL.revokeObjectURL(old);
  $("report").href = URL.createObjectURL(new Blob([m.report], {type: "text/html"}));
  $("verdict").hidden = false;
  $("verdict").scrollIntoView();
  say("Checked in " + m.seconds.toFixed(1) + " s.");
  document.title = "Quenlo check: " + doc.verdict + ", " + problems + " problems, " + warnings + " warnings";
}

start();
