"use strict";
// The check's own Python, the quenlo_disc package, run by Pyodide in a
// worker. The medium is mounted read-only at /medium: a folder's files as
// the browser gave them (read only when the check reads them), or a zip's,
// stored ones read from the zip as needed and the rest unpacked by the
// package's web module only as far as the check reads.
importScripts("pyodide.js");

let python = null, web = null, answered = null;

function tell(kind, fields) { postMessage(Object.assign({kind}, fields)); }

async function load() {
  python = await loadPyodide({indexURL: "./", stdout: () => {}, stderr: () => {}});
  const tools = await (await fetch("quenlo.zip")).arrayBuffer();
  python.unpackArchive(tools, "zip", {extractDir: "/lib/quenlo"});
  python.runPython("import sys; sys.path.insert(0, '/lib/quenlo')");
  web = python.pyimport("quenlo_disc.web");
}

// The medium's files as WORKERFS takes them: a name beneath /medium, and an
// object of the file's size whose slices are its bytes.
function sized(size, bytes) {
  return {size, slice: (from, to) => bytes.slice(from, to)};
}

function unzipped(zip, name) {
  const FS = python.FS;
  FS.mkdirTree("/given");
  FS.mount(FS.filesystems.WORKERFS, {blobs: [{name: "medium.zip", data: zip}]}, "/given");
  FS.mkdirTree("/unpacked");
  try {
    const got = web.unzip("/given/medium.zip", "/unpacked", name);
    const top = got.name, files = [];
    for (const [rel, size, modified, where] of got.files.toJs()) {
      let data;
      if (where[0] === "slice") data = zip.slice(where[1], where[1] + where[2]);
      else if (where[0] === "unpacked") {
        data = new Blob([FS.readFile(where[1])]);
        FS.unlink(where[1]);
      } else data = new Blob([]);
      files.push({path: top + "/" + rel, data: sized(size, data), modified: modified * 1000});
    }
    got.destroy();
    return files;
  } finally {
    FS.unmount("/given");
  }
}

function mount(files) {
  const FS = python.FS;
  try { FS.unmount("/medium"); } catch (e) { /* none yet */ }
  FS.mkdirTree("/medium");
  FS.mount(FS.filesystems.WORKERFS, {blobs: files.map(f => ({name: f.path, data: f.data}))}, "/medium");
  for (const f of files) FS.utime("/medium/" + f.path, f.modified, f.modified);
  const tops = FS.readdir("/medium").filter(n => n !== "." && n !== "..");
  return "/medium/" + tops[0];
}

// The check, and where the browser is Chromium, the check again with its
// answers for the pages that declare no encoding.
async function check(m) {
  const began = performance.now();
  let files;
  if (m.zip) {
    tell("progress", {text: "Reading the zip…"});
    files = unzipped(m.zip, m.name);
  } else {
    // The folder picked: the first part of each path is the folder's own name.
    files = m.files.map(f => ({path: f.path.includes("/") ? f.path : "medium/" + f.path, data: f.file,
                               modified: f.file.lastModified}));
  }
  const source = mount(files);
  tell("progress", {text: "Checking " + files.length + " files…"});
  const choices = python.toPy(m.choices);
  const pages = (done, total) => tell("progress", {text: "Checking " + files.length + " files: " + done + " of " +
                                                         total + " pages read…"});
  let result = web.check(source, choices, undefined, m.chromium, pages).toJs({dict_converter: Object.fromEntries});
  if (result.ask) {
    const asked = result.ask.map(path => ({path, bytes: python.FS.readFile(path)}));
    const answers = await new Promise(resolve => { answered = resolve; tell("ask", {pages: asked}); });
    tell("progress", {text: "Checking " + files.length + " files with this browser's readings…"});
    result = web.check(source, choices, python.toPy(answers), true, pages).toJs({dict_converter: Object.fromEntries});
  }
  choices.destroy();
  tell("done", {json: result.json, lines: result.lines, report: result.report,
                seconds: (performance.now() - began) / 1000});
}

// A Refusal's one line, or what else went wrong, from a Python error.
function sentence(error) {
  const text = String(error && error.message || error);
  const refusal = text.match(/quenlo_disc\.Refusal: (.*)\s*$/);
  return refusal ? refusal[1].charAt(0).toUpperCase() + refusal[1].slice(1) + "." :
    "The check failed (" + text.trim().split("\n").pop() + "): please report it with the medium.";
}

onmessage = async e => {
  const m = e.data;
  if (m.kind === "start") {
    try {
      await load();
      tell("ready");
    } catch (error) {
      tell("failed", {text: "The check could not load (" + (error.message || error) + "): reload the page."});
    }
  } else if (m.kind === "answers") {
    answered(m.answers);
  } else if (m.kind === "check") {
    try {
      await check(m);
    } catch (error) {
      tell("refused", {text: sentence(error)});
    }
  }
};
