"use strict";
// The page's side of the check: it takes the medium, hands it to the worker
// (Python runs there, so the page stays usable), answers the worker's
// questions about how this browser reads undeclared pages, and shows what
// came back. Every refusal is one sentence in #status; the page stays usable.

const $ = id => document.getElementById(id);
const started = performance.now();
let worker = null, ready = false, busy = false, loading = null;
const LOADING = 90; // seconds the runtime may take to load before the page says it has not

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
  spawn();
  $("folder").onchange = () => {
    const files = Array.from($("folder").files);
    give({files: files.map(f => ({path: f.webkitRelativePath || f.name, file: f}))});
  };
  $("zip").onchange = () => { // a zip or an image, as its bytes say
    if ($("zip").files[0]) give({given: $("zip").files[0], name: $("zip").files[0].name});
  };
  // A drop anywhere on the page is the medium's: a browser left to it would open the file in the page's place.
  const drop = $("drop");
  document.addEventListener("dragover", e => { e.preventDefault(); drop.className = "over"; });
  document.addEventListener("dragleave", e => { if (!e.relatedTarget) drop.className = ""; });
  document.addEventListener("drop", e => { e.preventDefault(); drop.className = ""; dropped(e.dataTransfer); });
  $("cancel").onclick = cancel;
  $("mend").onclick = mend;
  for (const id of ["start", "label", "code-page"]) $(id).onchange = again;
  for (const radio of document.querySelectorAll("input[name=kind]")) radio.onchange = again;
  const params = new URLSearchParams(location.search);
  if (params.get("stick")) document.querySelector("input[value=stick]").checked = true;
  for (const id of ["start", "label", "code-page"]) if (params.get(id)) $(id).value = params.get(id);
  if (params.get("medium")) fetched(params.get("medium"));
}

// A fresh worker, loading the runtime; a runtime that does not come in LOADING seconds is said to be late.
function spawn() {
  ready = false;
  worker = new Worker("worker.js");
  worker.onmessage = heard;
  worker.onerror = e => {
    e.preventDefault();
    stopped("The check's runtime did not load (" + (e.message || "its worker failed") + "): reload the page; if it " +
      "fails again, use a current Edge, Chrome, Firefox or Safari.");
  };
  worker.postMessage({kind: "start"});
  clearTimeout(loading);
  loading = setTimeout(() => {
    if (!ready) say("The check's runtime has not loaded after " + LOADING + " s: the connection may be slow or " +
      "the page's folder incomplete; reload the page, or serve it afresh with quenlo-disc web.", true);
  }, LOADING * 1000);
}

// The check ended without a verdict: said, and the page ready for what comes next.
function stopped(text) {
  busy = false;
  $("cancel").hidden = true;
  $("verdict").removeAttribute("aria-busy");
  say(text, true);
}

function cancel() {
  if (!busy) return;
  worker.terminate();
  waiting = next = null;
  stopped("Cancelled: the check is loading again; give the medium, or change a choice, to check anew.");
  spawn();
}

let last = null, next = null;
function again() { if (last) give(last); }

function choices() {
  return {stick: document.querySelector("input[name=kind]:checked").value === "stick",
          start: $("start").value, label: $("label").value, "code-page": $("code-page").value};
}

// Said with each step of a running check while a medium or choice waits, so the wait is never hidden.
const QUEUED = "checked when it ends (or cancel it).";
function saying(text) { say(next ? text + " Then the medium and choices given meanwhile are " + QUEUED : text); }

let waiting = null;
function give(medium) {
  if (medium.files && !medium.files.length) {
    return say("That folder holds no file: pick the folder with the medium's pages in it.", true);
  }
  last = medium;
  if (busy) {
    next = medium;
    return say("A check is running: the medium and choices given now are " + QUEUED);
  }
  if (!ready) { waiting = medium; return say("The check is still loading; it starts as soon as it can."); }
  busy = true;
  $("cancel").hidden = false;
  $("verdict").setAttribute("aria-busy", "true"); // the last verdict, greyed until the next comes
  say("Checking…");
  worker.postMessage(Object.assign({kind: "check", choices: choices(), chromium: chromium()}, medium));
}

async function fetched(address) {
  const url = new URL(address, location.href);
  if (url.origin !== location.origin) {
    return say("?medium= loads a zip or an image from this page's own site only: put it beside the page.", true);
  }
  say("Loading " + url.pathname + "…");
  try {
    const answer = await fetch(url);
    if (!answer.ok) return say("Could not load " + url.pathname + " (" + answer.status + "): check the address.", true);
    give({given: await answer.blob(), name: decodeURIComponent(url.pathname.split("/").pop())});
  } catch (e) {
    say("Could not load " + url.pathname + " (" + e.message + "): check the address.", true);
  }
}

// A dropped folder read whole (its files, not their bytes, and its empty folders), or a dropped zip or image,
// which its bytes tell apart, whatever its name.
async function dropped(transfer) {
  const entries = Array.from(transfer.items || []).map(i => i.webkitGetAsEntry && i.webkitGetAsEntry()).filter(e => e);
  const file = transfer.files && transfer.files.length === 1 && transfer.files[0];
  if ((entries.length === 1 && entries[0].isFile || !entries.length) && file) {
    return give({given: file, name: file.name});
  }
  if (entries.length !== 1 || !entries[0].isDirectory) {
    return say("Drop one folder, a .zip of it, or the disc's or stick's image.", true);
  }
  const files = [], folders = [];
  const walk = async (entry, path) => {
    if (entry.isFile) {
      files.push({path: path + entry.name, file: await new Promise((ok, no) => entry.file(ok, no))});
    } else {
      const reader = entry.createReader();
      let any = false;
      for (;;) {
        const some = await new Promise((ok, no) => reader.readEntries(ok, no));
        if (!some.length) break;
        any = true;
        for (const e of some) await walk(e, path + entry.name + "/");
      }
      if (!any) folders.push(path + entry.name);
    }
  };
  say("Reading the folder…");
  try {
    await walk(entries[0], "");
  } catch (e) {
    return say("Could not read the dropped folder (" + e.message + "): pick it with the button instead.", true);
  }
  give({files, folders});
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
    clearTimeout(loading);
    say("Ready (loaded in " + ((performance.now() - started) / 1000).toFixed(1) + " s): give the medium.");
    if (waiting) { const w = waiting; waiting = null; give(w); }
  } else if (m.kind === "progress") {
    saying(m.text);
  } else if (m.kind === "ask") {
    const answers = {}, from = worker; // a worker cancelled meanwhile is asked nothing more
    saying("Asking this browser how it reads " + (m.pages.length === 1 ? m.pages[0].path.split("/").pop() :
      m.pages.length + " pages") + ", which declare" + (m.pages.length === 1 ? "s" : "") + " no encoding…");
    for (const page of m.pages) answers[page.path] = await read(page.bytes);
    if (from === worker) worker.postMessage({kind: "answers", answers});
  } else if (m.kind === "mended") {
    mended(m);
  } else if (m.kind === "failed") {
    ready = !!m.ready;
    clearTimeout(loading);
    stopped(m.text);
  } else if (m.kind === "done") {
    busy = false;
    $("cancel").hidden = true;
    $("verdict").removeAttribute("aria-busy");
    if (m.usage) wrong(m.usage); else { wrong({}); show(m); }
  }
  if (!busy && next && m.kind !== "progress" && m.kind !== "ask") { const n = next; next = null; give(n); }
}

// Options the command would refuse as wrong usage, each said beside its field; the verdict shown stays.
function wrong(usage) {
  for (const id of ["code-page"]) {
    $(id + "-wrong").textContent = usage[id] || "";
    $(id + "-wrong").hidden = !usage[id];
    if (usage[id]) $(id).setAttribute("aria-invalid", "true"); else $(id).removeAttribute("aria-invalid");
  }
  const field = Object.keys(usage)[0];
  if (field) {
    say("The medium was not checked: mend the " + field.replace("-", " ") + " beside its field.", true);
    $(field).focus();
  }
}

const SHOWN = 10; // findings of one code shown before the rest are folded away
const plural = (n, what) => n + " " + what + (n === 1 ? "" : "s");

function show(m) {
  const doc = JSON.parse(m.json);
  const warnings = doc.findings.filter(f => f.severity === "warning").length;
  const problems = doc.findings.length - warnings;
  const counts = plural(problems, "problem") + ", " + plural(warnings, "warning");
  $("headline").textContent = doc.source + (doc.stick ? ", as a USB stick: " : doc.stick === false ?
    ", as a CD or DVD: " : ": ") + (doc.verdict === "ready" ? "ready" : "not ready") + " (" + counts + ")";
  $("headline").className = doc.verdict === "ready" ? "good" : "bad";
  facts(doc);
  mendable(m, doc);
  const list = $("findings");
  list.textContent = "";
  const few = doc.findings.length <= 8;
  for (const [severity, title] of [["error", "Problems: each keeps a user's PC from showing the medium as meant"],
                                   ["warning", "Warnings: they do not stop the medium, but are worth a look"]]) {
    const found = doc.findings.filter(f => f.severity === severity);
    if (found.length) list.append(element("h3", {}, title + " (" + found.length + ")"));
    const groups = new Map();
    for (const f of found) groups.set(f.code, (groups.get(f.code) || []).concat([f]));
    for (const [code, members] of groups) list.append(group(code, members, m.codes[code], severity, few));
  }
  $("result").textContent = m.json;
  const old = $("report").href;
  if (old.startsWith("blob:")) URL.revokeObjectURL(old);
  $("report").href = URL.createObjectURL(new Blob([m.report], {type: "text/html"}));
  $("verdict").hidden = false;
  say("Checked " + doc.source + " in " + m.seconds.toFixed(1) + " s: " + (doc.verdict === "ready" ? "ready" :
    "not ready") + ", " + counts + ".");
  document.title = "Quenlo check: " + doc.verdict + ", " + counts;
  $("headline").focus();
}

// The check's safe mends: their changes to read, as quenlo-disc fix shows them, and the mended medium, made when
// asked, in this browser as fix --to makes it.
let mendedZip = null; // the last mended medium made, a Blob
function mendable(m, doc) {
  $("mending").hidden = !m.diff;
  $("mend").disabled = false;
  $("mend-said").textContent = "";
  $("mended-file").hidden = true;
  mendedZip = null;
  if (!m.diff) return;
  const name = doc.source.split("/").pop();
  $("mends").textContent = "quenlo-disc fix mends " + plural(m.mends, "finding") + " of these safely, each with " +
    "one right answer. The mended medium is a copy of it with the changes below made, as fix --to makes it; " +
    "the rest are yours to mend. Check the copy again before you make the medium.";
  $("diff").textContent = m.diff;
  linked("diff-file", new Blob([m.patch], {type: "text/x-diff"}), name + "-mended.diff"); // git apply's bytes
}

function mend() {
  if (busy || !ready) return say("The mended medium can be made once the check has ended.", true);
  $("mend").disabled = true;
  $("mend-said").textContent = "Making the mended medium…";
  worker.postMessage({kind: "mend"});
}

function mended(m) {
  $("mend").disabled = false;
  if (!m.bytes) {
    $("mend-said").textContent = m.text;
    return;
  }
  mendedZip = new Blob([m.bytes], {type: "application/zip"});
  linked("mended-file", mendedZip, m.name);
  $("mended-file").textContent = m.name + " (" + Math.max(mendedZip.size / 1024, 1).toFixed(0) + " KiB)";
  $("mended-file").hidden = false;
  $("mend-said").textContent = "Made in " + m.seconds.toFixed(1) + " s, and handed to this browser to save.";
  $("mended-file").click();
}

// The link id made to download blob as name.
function linked(id, blob, name) {
  const old = $(id).href;
  if (old.startsWith("blob:")) URL.revokeObjectURL(old);
  $(id).href = URL.createObjectURL(blob);
  $(id).download = name;
}

function element(tag, fields, text) {
  const made = Object.assign(document.createElement(tag), fields);
  if (text !== undefined) made.textContent = text;
  return made;
}

// What Windows and its user meet, from the document as the report takes it.
function facts(doc) {
  const table = $("facts"), keys = doc.keys || {};
  table.textContent = "";
  for (const [name, value] of [["Windows shows it as", keys.label || doc.label], ["Open line", keys.open],
                               ["Its page", doc.page],
                               ["Size", doc.size && (Math.max(doc.size / 1048576, 0.1).toFixed(1) + " MiB" +
                                                     (doc.medium ? ", which fits a " + doc.medium : ""))],
                               ["Files", doc.files]]) {
    if (!value) continue;
    const row = element("tr");
    row.append(element("th", {scope: "row"}, name), element("td", {}, String(value)));
    table.append(row);
  }
}

// One code's findings: its summary and count, opened where there are few, its mend, each finding once with its
// places (those past the first folded away).
function group(code, members, known, severity, open) {
  const box = element("details", {open});
  const head = element("summary", {className: severity === "warning" ? "warning" : "problem"},
                       (known ? known[0] : code) + " ");
  head.append(element("span", {className: "code"}, "(" + code + ")"), " " + (members.length > 1 ?
    "× " + members.length : ""));
  box.append(head);
  if (known && members.length > 1) box.append(element("p", {}, "What to do: " + known[1])); // one says its own
  const list = element("ul");
  let rest = list;
  for (const [n, f] of members.entries()) {
    if (n === SHOWN && members.length > SHOWN + 1) { // the rest folded away: a site of 10,000 pages stays readable
      const more = element("details");
      more.append(element("summary", {}, (members.length - SHOWN) + " more"));
      rest = element("ul");
      more.append(rest);
      const folded = element("li", {className: "more"});
      folded.append(more);
      list.append(folded);
    }
    const item = element("li", {}, f.message);
    const places = f.places || [];
    if (places.length > 1) {
      const more = element("details");
      more.append(element("summary", {}, plural(places.length, "place")));
      const where = element("ul");
      for (const p of places) where.append(element("li", {}, p.file + (p.line ? ", line " + p.line : "") +
                                                       (p.link ? ": " + p.link : "")));
      more.append(where);
      item.append(more);
    }
    rest.append(item);
  }
  box.append(list);
  return box;
}

start();
