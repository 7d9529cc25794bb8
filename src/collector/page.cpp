#include "collector/server.h"

// Plain HTML and script: every text from a router goes in through textContent or Chart.js's
// canvas labels, never as markup.
const char* const kPage = R"PAGE(<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8"><title>pelmar: devices per window</title>
<style>
body { font: 14px sans-serif; margin: 1em 2em; }
table { border-collapse: collapse; margin-top: 1em; }
td, th { border: 1px solid #ccc; padding: 2px 8px; text-align: left; }
tbody tr { cursor: pointer; }
.late { color: #b00; }
.chosen { background: #eef4ff; }
.calibration { font-size: 12px; color: #555; }
#show, #status { margin-left: 1em; }
#chart { max-width: 1100px; max-height: 420px; }
#unsynced { color: #b00; }
</style>
<script src="/chart.js"></script></head>
<body>
<h1>Devices per report window</h1>
<label>Range <select id="range">
<option value="3600">last hour</option><option value="21600">last 6 hours</option>
<option value="86400" selected>last day</option><option value="604800">last week</option>
<option value="2678400">last month</option><option value="0">everything</option>
</select></label>
<label>Routers <input id="filter" type="search" placeholder="name or host name"></label>
<label id="show" hidden><input type="checkbox" id="devices"> devices instead of people</label>
<span id="status"></span>
<canvas id="chart"></canvas>
<p id="unsynced" hidden>&times;: sent before its router's clock was synchronised, so shown when it
arrived; its own time is in the point's tooltip.</p>
<p id="lines"></p>
<table><thead><tr><th>router</th><th>host name</th><th>last document</th><th>devices</th>
<th>state</th></tr></thead><tbody id="routers"></tbody></table>
<p><button id="previous">previous</button> <span id="page"></span>
<button id="next">next</button></p>
<script>
"use strict";
// A fleet has thousands of routers: the chart draws their sum and a few lines, the table a page.
const mostLines = 8;
const rowsPerPage = 50;
const colours = ["#1f77b4", "#ff7f0e", "#2ca02c", "#d62728", "#9467bd", "#8c564b", "#e377c2",
                 "#17becf"];
let chart = null;
let routers = [];
let page = 0;
const chosen = new Set();

function cell(row, text, cls) {
  const td = row.insertCell();
  td.textContent = text;
  if (cls) td.className = cls;
}

function matching() {
  const wanted = document.getElementById("filter").value.trim().toLowerCase();
  if (!wanted) return routers;
  return routers.filter(r => r.router.toLowerCase().includes(wanted) ||
                             r.hostname.toLowerCase().includes(wanted));
}

function showRouters() {
  const list = matching();
  const pages = Math.max(1, Math.ceil(list.length / rowsPerPage));
  page = Math.min(page, pages - 1);
  const body = document.getElementById("routers");
  body.replaceChildren();
  for (const r of list.slice(page * rowsPerPage, (page + 1) * rowsPerPage)) {
    const row = body.insertRow();
    if (chosen.has(r.router)) row.className = "chosen";
    row.addEventListener("click", () => choose(r.router));
    cell(row, r.router);
    if (r.calibration) row.cells[0].append(calibrationNote(r.calibration));
    cell(row, r.hostname);
    cell(row, r.last === null ? "none yet" : r.last);
    cell(row, r.last === null ? "" : String(r.devices));
    cell(row, r.late ? "late" : "reporting", r.late ? "late" : "");
  }
  const first = list.length ? page * rowsPerPage + 1 : 0;
  document.getElementById("page").textContent =
    `routers ${first}-${Math.min(list.length, (page + 1) * rowsPerPage)} of ${list.length}`;
  document.getElementById("previous").disabled = page === 0;
  document.getElementById("next").disabled = page + 1 >= pages;
}

function choose(router) {
  if (chosen.has(router)) chosen.delete(router);
  else if (chosen.size < mostLines) chosen.add(router);
  showRouters();
  load();
}

// The chosen routers, else the busiest by their last count.
function drawnRouters() {
  if (chosen.size) return [...chosen];
  return routers.filter(r => r.last !== null)
    .sort((a, b) => b.devices - a.devices || (a.router < b.router ? -1 : 1))
    .slice(0, mostLines).map(r => r.router);
}

// Beside a calibrated router: when, at which floor, and how well its people were fitted.
function calibrationNote(c) {
  const floor = c.floor === "router" ? "the router's own floor" :
                c.floor === "none" ? "no floor" : c.floor + " dB";
  const note = document.createElement("div");
  note.className = "calibration";
  // No r when the people counted never varied: the line is flat at their mean.
  const r = c.r === null ? "r undefined (the people never varied)" : "r " + c.r.toFixed(3);
  note.textContent = "people calibrated " + c.time.slice(0, 10) + ": " + floor + ", " + r +
                     ", error " + c.error.toFixed(2) + " people";
  return note;
}

// A point's value: people where its router is calibrated, unless devices are asked for.
function asPeople(p) {
  return p.people !== undefined && !document.getElementById("devices").checked;
}
function shown(p) {
  return asPeople(p) ? p.people : p.devices;
}

// The left axis: devices, people when every line is in people, else both.
function unit(people, lines) {
  if (!people.size) return "devices";
  return people.size === lines ? "people" : "people (calibrated routers), devices";
}

function drawn(canvas) {
  const pixels = canvas.getContext("2d").getImageData(0, 0, canvas.width, canvas.height).data;
  for (let i = 3; i < pixels.length; i += 4) if (pixels[i] !== 0) return true;
  return false;
}

// A line's points; the sum's carry devices only.
function line(points) {
  return points.map(p => ({x: Date.parse(p.time), y: shown(p), clock: p.clockTime}));
}

// Drawn in people where a line's router is calibrated; the fleet's sum stays in devices, on an
// axis of its own once any line is in people.
function draw(sum, names, lines) {
  const canvas = document.getElementById("chart");
  if (chart) chart.destroy();
  const people = new Set(names.filter((name, i) => lines[i].some(asPeople)));
  // A point placed at its arrival (its clock was not trusted) is marked with a cross.
  const sets = names.map((name, i) => ({
    label: people.has(name) ? name + " (people)" : name, data: line(lines[i]),
    borderColor: colours[i % colours.length], pointStyle: "crossRot",
    pointRadius: c => c.raw && c.raw.clock ? 6 : 0}));
  sets.push({label: people.size ? "all routers (devices)" : "all routers",
             data: line(sum), yAxisID: people.size ? "sum" : "y", borderColor: "#000",
             borderWidth: 3, pointRadius: 0});
  const scales = {
    x: {type: "linear", ticks: {callback: v => new Date(v).toISOString().slice(0, 16)}},
    y: {beginAtZero: true, title: {display: true, text: unit(people, names.length)}}};
  if (people.size) {
    scales.sum = {position: "right", beginAtZero: true, grid: {drawOnChartArea: false},
                  title: {display: true, text: "devices, all routers"}};
  }
  chart = new Chart(canvas, {
    type: "line",
    data: {datasets: sets},
    options: {animation: false, parsing: false, scales: scales,
      plugins: {tooltip: {callbacks: {afterLabel: c =>
        c.raw.clock ? "arrived then; its own clock said " + c.raw.clock : ""}}}}
  });
  document.getElementById("unsynced").hidden = !lines.some(l => l.some(p => p.clockTime));
  document.body.dataset.points = String(lines.reduce((n, l) => n + l.length, 0));
  document.body.dataset.drawn = drawn(canvas) ? "yes" : "no";
  document.body.dataset.lines = String(names.length);
  if (people.size) {
    document.body.dataset.people = "yes";
  } else {
    delete document.body.dataset.people;
  }
  document.querySelector("h1").textContent =
    (people.size ? "People and devices" : "Devices") + " per report window";
  document.getElementById("lines").textContent = chosen.size
    ? "Lines: the routers chosen in the table (click a row again to drop it)."
    : `Lines: the ${names.length} busiest routers and their sum over all ${routers.length};` +
      " click rows in the table to draw those instead.";
}

function json(url) {
  return fetch(url).then(r => {
    if (!r.ok) throw new Error(url.split("?")[0] + " answered " + r.status);
    return r.json();
  });
}

async function load() {
  const status = document.getElementById("status");
  const began = performance.now();
  try {
    const range = Number(document.getElementById("range").value);
    const now = Math.floor(Date.now() / 1000);
    // Bounded on both sides: nothing is stored more than a day ahead of the collector's clock.
    const bounds = `from=${range ? now - range : 0}&to=${now + 86400}`;
    routers = await json("/api/routers");
    showRouters();
    const names = drawnRouters();
    const step = Math.max(1, Math.floor(range / 1000));
    const [sum, ...lines] = await Promise.all([
      json(`/api/total?${bounds}&step=${step}`),
      ...names.map(n => json(`/api/series?router=${encodeURIComponent(n)}&${bounds}`))]);
    document.getElementById("show").hidden = !routers.some(r => r.calibration);
    if (typeof Chart === "undefined") throw new Error("Chart.js is not installed");
    draw(sum, names, lines);
    document.body.dataset.took = String(Math.round(performance.now() - began));
    status.textContent = "updated " + new Date().toISOString().slice(0, 19);
  } catch (error) {
    status.textContent = "cannot load: " + error.message;
  }
}

const wanted = new URLSearchParams(location.search);
if (wanted.has("key")) {  // the reader's link: its cookie is set, the secret leaves the address
  wanted.delete("key");
  history.replaceState(null, "", location.pathname + (String(wanted) ? "?" + wanted : ""));
}
if (wanted.get("range") !== null) document.getElementById("range").value = wanted.get("range");
if (wanted.get("filter") !== null) document.getElementById("filter").value = wanted.get("filter");
document.getElementById("range").addEventListener("change", load);
document.getElementById("filter").addEventListener("input", () => { page = 0; showRouters(); });
document.getElementById("previous").addEventListener("click", () => { page--; showRouters(); });
document.getElementById("next").addEventListener("click", () => { page++; showRouters(); });
document.getElementById("devices").checked = wanted.get("show") === "devices";
document.getElementById("devices").addEventListener("change", load);
load();
setInterval(load, 60000);
</script></body></html>
)PAGE";
