"use strict";
// The check's own Python, the quenlo_disc package, run by Pyodide in a
// worker. The medium is mounted read-only beneath /medium, which Python
// works in, so that the check names it as the author did: a folder's files
// as the browser gave them (read only when the check reads them); a zip's,
// stored ones read from the zip as needed and the rest unpacked by the
// package's web module only as far as the check reads; or an image's tree as
// Windows shows it, each file the slices of the image that hold it, so that a
// DVD's image is read only where the check reads.

let python = null, web = null, answered = null, pagemends = null;
let zipGiven = null; // the zip the last check's medium came from, unpacked whole for its mends

function tell(kind, fields) { postMessage(Object.assign({kind}, fields)); }

// The runtime's files, asked of the server beside the load: Pyodide waits
// for ever on a WebAssembly that does not come, so a file the server lacks
// is named at once. Offline, nothing can be asked, and the cache serves.
const RUNTIME = ["pyodide.js", "pyodide.asm.js", "pyodide.asm.wasm", "python_stdlib.zip", "pyodide-lock.json",
                 "quenlo.zip"];
async function lacking() {
  const answers = await Promise.all(RUNTIME.map(name => fetch(name, {method: "HEAD"}).catch(() => null)));
  const gone = RUNTIME.filter((name, i) => answers[i] && !answers[i].ok);
  if (gone.length) throw new Error(gone.join(", ") + " did not load (" + answers.find(a => a && !a.ok).status + ")");
  return new Promise(() => {}); // all there: the load says how it went
}

async function load() {
  await Promise.race([loaded(), lacking()]);
}

async function loaded() {
  try {
    importScripts("pyodide.js");
  } catch (e) {
    throw new Error("pyodide.js did not load");
  }
  python = await loadPyodide({indexURL: "./", stdout: () => {}, stderr: () => {}});
  const answer = await fetch("quenlo.zip");
  if (!answer.ok) throw new Error("quenlo.zip did not load (" + answer.status + ")");
  python.unpackArchive(await answer.arrayBuffer(), "zip", {extractDir: "/lib/quenlo"});
  python.runPython("import sys; sys.path.insert(0, '/lib/quenlo')");
  web = python.pyimport("quenlo_disc.web");
  pagemends = python.pyimport("quenlo_disc.pagemends");
}

// The medium's files as WORKERFS takes them: a name beneath /medium, and an
// object of the file's size whose slices are its bytes.
function sized(size, bytes) {
  return {size, slice: (from, to) => bytes.slice(from, to)};
}

// The medium of the file given, an image or a zip as its bytes say, or the
// result that refuses it.
function opened(given, name, codePage) {
  const FS = python.FS;
  name = name && name !== "." && name !== ".." ? name.replace(/\//g, "_") : "medium";
  FS.mkdirTree("/given");
  FS.mount(FS.filesystems.WORKERFS, {blobs: [{name, data: given}]}, "/given");
  FS.mkdirTree("/unpacked");
  try {
    // Its bytes read from the File itself: Python's own files in the page seek no further than 2 GiB.
    const read = (start, length) => new Uint8Array(new FileReaderSync().readAsArrayBuffer(given.slice(start,
                                                                                                   start + length)));
    const got = web.given("/given/" + name, "/unpacked", name, codePage || "", read);
    if (got.type === "dict") return {refused: got.toJs({dict_converter: Object.fromEntries})};
    return got.type === "Imaged" ? image(given, got) : unzipped(given, got);
  } finally {
    FS.unmount("/given");
  }
}

// The image's tree: each file the image's slices that hold it, or of its size alone where the check reads only
// that; image: the Imaged medium, for the check.
function image(given, got) {
  const top = got.name, files = [], now = Date.now(), [listed, folders] = JSON.parse(got.listed());
  const none = new Blob([]);
  for (const [rel, size, where] of listed) {
    files.push({path: top + "/" + rel, data: {size, slice: where ? runs(given, where) : () => none}, modified: now});
  }
  return {files, folders: [top].concat(folders.map(f => top + "/" + f)), image: got};
}

// A file of the image as WORKERFS reads it: the bytes from to to of its runs of the File, sliced only when read (a
// Blob made for each of a DVD's 20,000 files took seconds).
function runs(given, where) {
  return (from, to) => {
    const pieces = [];
    let at = 0;
    for (const [start, length] of where) {
      const first = Math.max(from, at), last = Math.min(to, at + length);
      if (first < last) pieces.push(given.slice(start + first - at, start + last - at));
      at += length;
    }
    return pieces.length === 1 ? pieces[0] : new Blob(pieces);
  };
}

// The zip's medium: its stored files slices of the zip, the rest as unpacked.
function unzipped(zip, got) {
  const FS = python.FS, top = got.name, files = [];
  for (const [rel, size, modified, where] of got.files.toJs()) {
    let data;
    if (where[0] === "slice") data = zip.slice(where[1], where[1] + where[2]);
    else if (where[0] === "unpacked") {
      data = new Blob([FS.readFile(where[1])]);
      FS.unlink(where[1]);
    } else data = new Blob([]);
    files.push({path: top + "/" + rel, data: sized(size, data), modified: modified * 1000});
  }
  const folders = [top].concat(got.folders.toJs().map(f => top + "/" + f));
  got.destroy();
  return {files, folders};
}

// The medium mounted at /medium; its folder's name, relative to there.
function mount(files, folders) {
  const FS = python.FS, WORKERFS = FS.filesystems.WORKERFS;
  try { FS.unmount("/medium"); } catch (e) { /* none yet */ }
  FS.mkdirTree("/medium");
  FS.mount(WORKERFS, {blobs: files.map(f => ({name: f.path, data: f.data}))}, "/medium");
  for (const f of files) FS.utime("/medium/" + f.path, f.modified, f.modified);
  for (const folder of folders) { // an empty folder, which the command lists among the strays
    let node = FS.lookupPath("/medium").node;
    for (const part of folder.split("/")) {
      try { node = FS.lookupNode(node, part); } catch (e) { node = WORKERFS.createNode(node, part, WORKERFS.DIR_MODE, 0); }
    }
  }
  FS.chdir("/medium");
  return FS.readdir("/medium").filter(n => n !== "." && n !== "..")[0];
}

// How the page's browser reads the undeclared page at path, asked of the page.
function ask(path) {
  return new Promise(resolve => {
    answered = answers => resolve(answers[path] || ""); // "": not known, which Python takes as no answer
    tell("ask", {pages: [{path, bytes: python.FS.readFile(path)}]});
  });
}

// The check, once: where the browser is Chromium, its readings of the pages
// that declare no encoding asked as the check meets them; where Python
// cannot wait for them (no JSPI), the check again with the answers.
async function check(m) {
  const began = performance.now();
  let files, folders = [], image = null;
  if (m.given) {
    tell("progress", {text: "Reading " + m.name + "…"});
    const got = opened(m.given, m.name, m.choices["code-page"]);
    if (got.refused) return tell("done", Object.assign(got.refused, {seconds: (performance.now() - began) / 1000}));
    ({files, folders, image} = got);
  } else {
    // The folder picked: the first part of each path is the folder's own name.
    files = m.files.map(f => ({path: f.path.includes("/") ? f.path : "medium/" + f.path, data: f.file,
                               modified: f.file.lastModified}));
    folders = m.folders || [];
  }
  const source = mount(files, folders);
  tell("progress", {text: "Checking " + files.length + " files…"});
  const choices = python.toPy(m.choices);
  const pages = (done, total) => tell("progress", {text: "Checking " + files.length + " files: " + done + " of " +
                                                         total + " pages read…"});
  try {
    tell("done", Object.assign(await checked(source, choices, m.chromium, pages, image),
                               {seconds: (performance.now() - began) / 1000}));
  } finally {
    choices.destroy();
    if (image) image.destroy();
  }
}

async function checked(source, choices, chromium, pages, image) {
  let result = (await web.check.callPromising(source, choices, null, chromium, pages, chromium ? ask : null,
                                               image || undefined)) // null would reach Python as no None
    .toJs({dict_converter: Object.fromEntries});
  if (result.ask) {
    const asked = result.ask.map(path => ({path, bytes: python.FS.readFile(path)}));
    const answers = await new Promise(resolve => { answered = resolve; tell("ask", {pages: asked}); });
    tell("progress", {text: "Checking the medium with this browser's readings…"});
    result = web.check(source, choices, python.toPy(answers), true, pages, null, image || undefined)
      .toJs({dict_converter: Object.fromEntries});
  }
  return result;
}

// The last check's medium with its safe mends made, as quenlo-disc fix --to makes it, zipped: its bytes and name
// for the page to offer, or why the page cannot make it.
function mend() {
  const FS = python.FS, began = performance.now();
  if (zipGiven) {
    FS.mkdirTree("/given");
    FS.mount(FS.filesystems.WORKERFS, {blobs: [{name: "medium.zip", data: zipGiven}]}, "/given");
  }
  try {
    const got = pagemends.mended("/mended.zip", zipGiven && "/given/medium.zip")
      .toJs({dict_converter: Object.fromEntries});
    if (got.refused) return tell("mended", {text: got.refused});
    const bytes = FS.readFile("/mended.zip");
    FS.unlink("/mended.zip");
    postMessage({kind: "mended", bytes, name: got.name, seconds: (performance.now() - began) / 1000}, [bytes.buffer]);
  } finally {
    if (zipGiven) FS.unmount("/given");
  }
}

// What went wrong outside the check's own findings: the last line of a Python error.
function sentence(error) {
  const text = String(error && error.message || error).trim().split("\n").pop();
  return "The check failed (" + text + "): please report it with the medium.";
}

onmessage = async e => {
  const m = e.data;
  if (m.kind === "start") {
    try {
      await load();
      tell("ready");
    } catch (error) {
      tell("failed", {text: "The check's runtime did not load (" + (error.message || error) + "): reload the page; " +
        "if it fails again, its folder is incomplete: serve it afresh (quenlo-disc web) or unpack its release zip " +
        "again."});
    }
  } else if (m.kind === "answers") {
    if (answered) answered(m.answers);
  } else if (m.kind === "check") {
    zipGiven = m.given || null; // a zip's or an image's: an image has no mends
    try {
      await check(m);
    } catch (error) {
      tell("failed", {text: sentence(error), ready: true});
    }
  } else if (m.kind === "mend") {
    try {
      mend();
    } catch (error) {
      tell("mended", {text: sentence(error).replace("The check failed", "The mends failed")});
    }
  }
};
