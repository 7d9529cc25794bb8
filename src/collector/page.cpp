#include "collector/server.h"

// Plain HTML and script: every text from a router goes in through textContent or Chart.js's
// canvas labels, never as markup.
const char* const kPage = R"PAGE(<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8"><title>pelmar: devices per window</title>
<style>
body { font: 14px sans-serif; margin: 1em 2em; }
table { border-collapse: collapse; margin-top: 1em; }
td, th { border: 1px solid #ccc; padding: 2px 8px; text-align: left; }
.late { color: #b00; }
.calibration { font-size: 12px; color: #555; }
#show, #status { margin-left: 1em; }
#chart { max-width: 1100px; max-height: 420px; }
</style>
<script src="/chart.js"></script></head>
<body>
<h1>Devices per report window</h1>
<label>Range <select id="range">
<option value="3600">last hour</option><option value="21600">last 6 hours</option>
<option value="86400" selected>last day</option><option value="604800">last week</option>
<option value="2678400">last month</option><option value="0">everything</option>
</select></label>
<label id="show" hidden><input type="checkbox" id="devices"> devices instead of people</label>
<span id="status"></span>
<canvas id="chart"></canvas>
<table><thead><tr><th>router</th><th>host name</th><th>last document</th><th>devices</th>
<th>state</th></tr></thead><tbody id="routers"></tbody></table>
<script>
"use strict";
let chart = null;
const colours = ["#1f77b4", "#ff7f0e", "#2ca02c", "#d62728", "#9467bd", "#8c564b", "#e377c2"];

function cell(row, text, cls) {
  const td = row.insertCell();
  td.textContent = text;
  if (cls) td.className = cls;
}

function showRouters(routers) {
  const body = document.getElementById("routers");
  body.replaceChildren();
  for (const r of routers) {
    const row = body.insertRow();
    cell(row, r.router);
    if (r.calibration) row.cells[0].append(calibrationNote(r.calibration));
    cell(row, r.hostname);
    cell(row, r.last === null ? "none yet" : r.last);
    cell(row, r.last === null ? "" : String(r.devices));
    cell(row, r.late ? "late" : "reporting", r.late ? "late" : "");
  }
}

// Beside a calibrated router: when, at which floor, and how well its people were fitted.
function calibrationNote(c) {
  const floor = c.floor === "router" ? "the router's own floor" :
                c.floor === "none" ? "no floor" : c.floor + " dB";
  const note = document.createElement("div");
  note.className = "calibration";
  note.textContent = "people calibrated " + c.time.slice(0, 10) + ": " + floor + ", r " +
                     c.r.toFixed(3) + ", error " + c.error.toFixed(2) + " people";
  return note;
}

// A point's value: people where its router is calibrated, unless devices are asked for.
function asPeople(p) {
  return p.people !== undefined && !document.getElementById("devices").checked;
}
function shown(p) {
  return asPeople(p) ? p.people : p.devices;
}

// One line per router, and their sum: at every window's time, each router's latest count.
function datasets(points) {
  const lines = new Map();
  for (const p of points) {
    if (!lines.has(p.router)) lines.set(p.router, []);
    lines.get(p.router).push({x: Date.parse(p.time), y: shown(p)});
  }
  const times = [...new Set(points.map(p => Date.parse(p.time)))].sort((a, b) => a - b);
  const sum = times.map(t => {
    let total = 0;
    for (const line of lines.values()) {
      let latest = null;
      for (const q of line) if (q.x <= t) latest = q.y;
      if (latest !== null) total += latest;
    }
    return {x: t, y: total};
  });
  const people = new Set(points.filter(asPeople).map(p => p.router));
  const sets = [...lines].map(([router, data], i) => ({
    label: people.has(router) ? router + " (people)" : router, data: data,
    borderColor: colours[i % colours.length], pointRadius: 0}));
  sets.push({label: "all routers", data: sum, borderColor: "#000", borderWidth: 3, pointRadius: 0});
  return sets;
}

function drawn(canvas) {
  const pixels = canvas.getContext("2d").getImageData(0, 0, canvas.width, canvas.height).data;
  for (let i = 3; i < pixels.length; i += 4) if (pixels[i] !== 0) return true;
  return false;
}

function unit(points) {
  return points.some(asPeople) ? "people (calibrated routers), devices" : "devices";
}

function draw(points) {
  const canvas = document.getElementById("chart");
  if (chart) chart.destroy();
  chart = new Chart(canvas, {
    type: "line",
    data: {datasets: datasets(points)},
    options: {animation: false, parsing: false, scales: {
      x: {type: "linear", ticks: {callback: v => new Date(v).toISOString().slice(0, 16)}},
      y: {beginAtZero: true, title: {display: true, text: unit(points)}}}}
  });
  document.body.dataset.points = String(points.length);
  document.body.dataset.drawn = drawn(canvas) ? "yes" : "no";
  if (points.some(asPeople)) {
    document.body.dataset.people = "yes";
  } else {
    delete document.body.dataset.people;
  }
}

async function load() {
  const status = document.getElementById("status");
  try {
    const range = Number(document.getElementById("range").value);
    const from = range ? Math.floor(Date.now() / 1000) - range : 0;
    const [routers, points] = await Promise.all([
      fetch("/api/routers").then(r => r.json()),
      fetch("/api/series?from=" + from).then(r => r.json())]);
    showRouters(routers);
    document.getElementById("show").hidden = !routers.some(r => r.calibration);
    if (typeof Chart === "undefined") throw new Error("Chart.js is not installed");
    draw(points);
    status.textContent = "updated " + new Date().toISOString().slice(0, 19);
  } catch (error) {
    status.textContent = "cannot load: " + error.message;
  }
}

const wanted = new URLSearchParams(location.search).get("range");
if (wanted !== null) document.getElementById("range").value = wanted;
document.getElementById("devices").checked =
    new URLSearchParams(location.search).get("show") === "devices";
document.getElementById("range").addEventListener("change", load);
document.getElementById("devices").addEventListener("change", load);
load();
setInterval(load, 60000);
</script></body></html>
)PAGE";
