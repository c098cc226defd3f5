// The viewer's one page: plain HTML, CSS and script, served from the binary.
// @TOKEN@ becomes the run's token, which every request that changes
// something carries in its X-Norvik-Token header, and every other one in
// its address (a private viewer asks for it).
#pragma once

namespace tools {

inline constexpr const char* kViewerPage = R"PAGE(<!doctype html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>norvikcam</title>
<style>
  body { margin: 0; font: 14px system-ui, sans-serif; background: #1c1c1e; color: #eee; display: flex; height: 100vh; }
  #view { flex: 1; position: relative; display: flex; align-items: center; justify-content: center; min-width: 0; }
  #live { max-width: 100%; max-height: 100vh; display: block; }
  #map { position: absolute; right: 12px; bottom: 12px; width: 256px; height: 192px; background: #0008;
         border: 1px solid #888; cursor: crosshair; }
  #nolive { max-width: 26em; padding: 16px 20px; background: #333; border-radius: 6px; font-size: 16px;
            line-height: 1.4; }
  #stats { position: absolute; left: 12px; top: 10px; background: #0009; padding: 4px 8px; border-radius: 4px; }
  #side { width: 330px; overflow-y: auto; padding: 10px 14px; background: #2a2a2d; }
  .control { margin: 6px 0; }
  .control label { display: flex; justify-content: space-between; }
  .control input[type=range] { width: 100%; }
  .range { color: #999; font-size: 12px; }
  button { margin: 4px 4px 4px 0; padding: 6px 10px; }
  #hist { width: 300px; height: 120px; background: #111; display: block; margin: 8px 0; }
  #message { min-height: 1.2em; color: #fc6; }
</style>
</head>
<body>
<div id="view">
  <img id="live" src="/stream.mjpg?token=@TOKEN@" alt="live picture">
  <div id="nolive" hidden></div>
  <div id="stats">starting…</div>
  <canvas id="map" width="256" height="192" title="drag a new readout window"></canvas>
</div>
<div id="side">
  <div>
    <button id="snapshot">Snapshot</button>
    <button id="balance" title="estimates the white balance from the next frames, then keeps the gains it found (the white balance switch below does it on every frame)">Balance white once</button>
  </div>
  <div id="message"></div>
  <canvas id="hist" width="300" height="120"></canvas>
  <div id="controls"></div>
</div>
<script>
const token = "@TOKEN@";
let state = null;

function post(path, fields) {
  const body = new URLSearchParams(fields || {}).toString();
  return fetch(path, { method: "POST", body: body,
                       headers: { "X-Norvik-Token": token, "Content-Type": "application/x-www-form-urlencoded" } })
    .then(r => r.ok ? r.json() : r.text().then(t => { throw new Error(t); }));
}
function say(text) { document.getElementById("message").textContent = text; }

function buildControls(s) {
  const box = document.getElementById("controls");
  box.textContent = "";
  for (const c of s.controls) {
    const div = document.createElement("div");
    div.className = "control";
    const label = document.createElement("label");
    const name = document.createElement("span");
    name.textContent = c.name.replace(/_/g, " ");
    const value = document.createElement("span");
    value.textContent = c.value;
    label.append(name, value);
    let input = document.createElement("input");
    input.id = "control-" + c.name;
    input.dataset.name = c.name;
    input.title = c.description;
    if (c.type === "switch") {
      input.type = "checkbox";
      input.checked = c.value !== 0;
    } else {
      input.type = "range";
      input.min = c.min;
      input.max = c.max;
      input.step = c.step;
      input.value = c.value;
      input.addEventListener("input", () => { value.textContent = input.value; });
    }
    input.addEventListener("change", () => {
      const v = input.type === "checkbox" ? (input.checked ? 1 : 0) : input.value;
      post("/control", { name: c.name, value: v })
        .then(r => { value.textContent = r.value; say(""); })
        .catch(e => say(e.message));
    });
    const range = document.createElement("div");
    range.className = "range";
    range.textContent = c.min + " … " + c.max + (c.unit ? " " + c.unit : "") + ", default " + c.default;
    div.append(label, input, range);
    box.append(div);
  }
}

function drawMap(s, drag) {
  const map = document.getElementById("map"), g = map.getContext("2d");
  const k = map.width / s.sensor.width;
  g.clearRect(0, 0, map.width, map.height);
  g.strokeStyle = "#4cf";
  g.lineWidth = 2;
  g.strokeRect(s.window.x * k, s.window.y * k, s.window.width * k, s.window.height * k);
  if (drag) {
    g.strokeStyle = "#fc4";
    g.strokeRect(drag.x0, drag.y0, drag.x1 - drag.x0, drag.y1 - drag.y0);
  }
}

// The live picture, or in its place why there is none. A viewer beyond the
// limit is answered 503, which an image shows only as a broken one: the
// state says whether that is why, and the picture is asked for again once
// there is room.
const live = document.getElementById("live"), noLive = document.getElementById("nolive");
let showing = true, asking = false, tries = 0;
live.addEventListener("error", () => {
  showing = false;
  asking = false;
  live.style.display = "none";
  noLive.hidden = false;
  noLive.textContent = "No live picture here.";
  document.getElementById("stats").textContent = "no live picture";
});
function liveOrWhyNot(s) {
  if (!showing && live.naturalWidth > 0) {
    showing = true;
    live.style.display = "";
    noLive.hidden = true;
  }
  if (showing || asking) return;
  if (s === null) {
    noLive.textContent = "No live picture here: the viewer does not answer.";
  } else if (s.viewers >= s.maxViewers) {
    noLive.textContent = "No live picture here: too many viewers at once (" + s.maxViewers +
      " at most). It comes back here when another viewer is closed.";
  } else {
    asking = true;
    live.src = "/stream.mjpg?token=" + token + "&try=" + ++tries;
  }
}

function refresh() {
  fetch("/state?token=" + token).then(r => r.json()).then(s => {
    const first = state === null;
    state = s;
    liveOrWhyNot(s);
    document.getElementById("stats").textContent = !showing ? "no live picture" :
      s.fps.toFixed(1) + " frames/s · picture " + s.picture + " · dropped " + s.dropped + " · " +
      s.width + "×" + s.height;
    if (first) buildControls(s);
    if (!dragging) drawMap(s, null);
  }).catch(() => liveOrWhyNot(null));
  fetch("/histogram?token=" + token).then(r => r.json()).then(h => {
    const c = document.getElementById("hist"), g = c.getContext("2d");
    g.clearRect(0, 0, c.width, c.height);
    const peak = Math.max(1, ...h.red, ...h.green, ...h.blue);
    g.globalCompositeOperation = "lighter";
    for (const [name, colour] of [["red", "#f33"], ["green", "#3f3"], ["blue", "#36f"]]) {
      g.fillStyle = colour;
      h[name].forEach((n, i) => {
        const y = c.height * Math.sqrt(n / peak);
        g.fillRect(i * c.width / 256, c.height - y, c.width / 256 + 0.5, y);
      });
    }
    g.globalCompositeOperation = "source-over";
  }).catch(() => {});
}
setInterval(refresh, 500);
refresh();

let dragging = null;
const map = document.getElementById("map");
map.addEventListener("mousedown", e => {
  dragging = { x0: e.offsetX, y0: e.offsetY, x1: e.offsetX, y1: e.offsetY };
});
map.addEventListener("mousemove", e => {
  if (!dragging || !state) return;
  dragging.x1 = e.offsetX;
  dragging.y1 = e.offsetY;
  drawMap(state, dragging);
});
window.addEventListener("mouseup", () => {
  if (!dragging || !state) return;
  const d = dragging;
  dragging = null;
  const k = state.sensor.width / map.width;
  const x = Math.round(Math.min(d.x0, d.x1) * k), y = Math.round(Math.min(d.y0, d.y1) * k);
  const w = Math.round(Math.abs(d.x1 - d.x0) * k), h = Math.round(Math.abs(d.y1 - d.y0) * k);
  if (w < 16 || h < 16) { drawMap(state, null); return; }
  say("changing the window…");
  post("/window", { x: x, y: y, width: w, height: h })
    .then(s => { state = s; drawMap(s, null); say(""); })
    .catch(e => say(e.message));
});

document.getElementById("balance").addEventListener("click", () => {
  say("estimating the white balance…");
  post("/whitebalance").then(s => { state = null; refresh(); say(""); }).catch(e => say(e.message));
});
document.getElementById("snapshot").addEventListener("click", () => {
  say("taking a snapshot…");
  post("/snapshot").then(r => {
    say("saved in " + r.directory);
    const a = document.createElement("a");
    a.href = r.png + "?token=" + token;
    a.download = r.png.split("/").pop();
    document.body.append(a);
    a.click();
    a.remove();
  }).catch(e => say(e.message));
});
</script>
</body>
</html>
)PAGE";

}  // namespace tools
