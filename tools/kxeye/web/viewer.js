// kxeye view's page: one WebSocket to the tool; text messages are commands and answers (JSON),
// binary messages are live profiles (layout in tools/kxeye/src/kxeyeview.h). Only the newest
// profile is drawn, once per screen refresh.
'use strict';

const MAGIC = 0x3146584B;
const HEADER = 56;
const $ = (id) => document.getElementById(id);
const token = new URLSearchParams(location.search).get('token') || '';
let socket = null;
let nextId = 1;
const pending = new Map();   // id -> callback
let newest = null;           // newest profile, not yet drawn
let newestArrived = 0;       // when it arrived (wall clock, ms)
let camera = null;
// Server clock minus page clock (ms): the largest of server time minus arrival time over the
// status messages, since the way over the socket only makes it smaller.
let clockOffset = null;
const latencies = [];
// ?stats=1: every profile drawn is recorded (when the tool got it, when it arrived here, when its
// drawing ended, on the wall clock both share on one host) for a measuring script to read from
// window.kxeyeStats. Off by default: the page then keeps only the last 100 figures shown.
const STATS_MAX = 100000;
const stats = new URLSearchParams(location.search).get('stats') === '1' ? {
  received: 0,      // live messages received
  replaced: 0,      // received but replaced by a newer one before a screen refresh drew them
  drawn: 0,
  samples: [],      // [frame, delivered, arrived, drawing began, drawn, refresh start] (ms since 1970),
                    // then 1 when the 3D view was redrawn in the same refresh
  status: null,     // the last status message
  clock: [],        // status messages: [server time, arrival here] (ms since 1970)
} : null;
if (stats) window.kxeyeStats = stats;
const wallNow = () => performance.timeOrigin + performance.now();
let live = true;
const history = [];          // profiles for the 3D view
const HISTORY = 200;

// ---- colour scale: red is near (small Z), dark blue far; the same as kxeye scan's PNG ----
function turbo(t) {
  const x = 1 - Math.min(1, Math.max(0, t));
  const r = 0.13572138 + x * (4.61539260 + x * (-42.66032258 + x * (132.13108234 + x * (-152.94239396 + x * 59.28637943))));
  const g = 0.09140261 + x * (2.19418839 + x * (4.84296658 + x * (-14.18503333 + x * (4.27729857 + x * 2.82956604))));
  const b = 0.10667330 + x * (12.64194608 + x * (-60.58204836 + x * (110.36276771 + x * (-89.90310912 + x * 27.34824973))));
  const c = (v) => Math.round(255 * Math.min(1, Math.max(0, v)));
  return [c(r), c(g), c(b)];
}

// The same scale in 256 steps, for drawing many points: CSS colours and pixel words (RGBA in
// memory order).
const SCALE_STEPS = 256;
const scaleCss = [];
const scaleWords = new Uint32Array(SCALE_STEPS);
{
  const bytes = new Uint8Array(scaleWords.buffer);
  for (let i = 0; i < SCALE_STEPS; i++) {
    const c = turbo(i / (SCALE_STEPS - 1));
    scaleCss.push('rgb(' + c[0] + ',' + c[1] + ',' + c[2] + ')');
    bytes.set([c[0], c[1], c[2], 255], i * 4);
  }
}
const scaleStep = (t) => Math.round(Math.min(1, Math.max(0, t)) * (SCALE_STEPS - 1)) | 0;

function log(text, bad) {
  const li = document.createElement('li');
  li.textContent = new Date().toLocaleTimeString() + '  ' + text;
  if (bad) li.className = 'bad';
  const ol = $('log');
  ol.appendChild(li);
  while (ol.children.length > 100) ol.removeChild(ol.firstChild);
  ol.scrollTop = ol.scrollHeight;
}

function send(op, args, callback) {
  if (!socket || socket.readyState !== WebSocket.OPEN) { log('not connected', true); return; }
  const id = nextId++;
  if (callback) pending.set(id, callback);
  socket.send(JSON.stringify(Object.assign({ op, id }, args || {})));
}

// "0 (success)" or "-79945 (value out of range ...)": the camera's own answer.
function answerText(r) {
  if (r.error) return { text: r.error, ok: false };
  return { text: r.code + ' (' + r.meaning + ')', ok: r.code === 0 };
}
function showAnswer(el, r) {
  const a = answerText(r);
  el.textContent = a.text;
  el.className = 'answer ' + (a.ok ? 'ok' : 'bad');
  if (!a.ok) log((r.item || r.op) + ': ' + a.text, true);
}

function connect() {
  const scheme = location.protocol === 'https:' ? 'wss:' : 'ws:';
  socket = new WebSocket(scheme + '//' + location.host + '/ws?token=' + encodeURIComponent(token));
  socket.binaryType = 'arraybuffer';
  socket.onopen = () => {
    $('connection').textContent = 'connected';
    $('connection').className = 'ok';
    send('list', null, showCameras);
  };
  socket.onclose = () => {
    $('connection').textContent = 'disconnected';
    $('connection').className = 'bad';
    setTimeout(connect, 2000);
  };
  socket.onmessage = (ev) => {
    if (typeof ev.data !== 'string') {
      if (stats) {
        stats.received++;
        if (newest) stats.replaced++;
      }
      if (live) { newest = ev.data; newestArrived = stats ? wallNow() : 0; }
      return;
    }
    let m;
    try { m = JSON.parse(ev.data); } catch (e) { log('unreadable message', true); return; }
    if (m.id !== undefined && pending.has(m.id)) {
      const cb = pending.get(m.id);
      pending.delete(m.id);
      cb(m);
    } else if (m.op === 'status') {
      showStatus(m);
    } else if (m.op === 'camera') {
      showCamera(m.camera);
    } else if (m.error) {
      log(m.op + ': ' + m.error, true);
    }
  };
}

function showCameras(m) {
  const sel = $('camera-select');
  sel.innerHTML = '';
  for (const c of m.cameras || []) {
    const o = document.createElement('option');
    o.value = String(c.index);
    o.textContent = c.index + ': ' + c.name + ' ' + (c.ip || c.connect) + (c.virtual ? ' (virtual)' : '') +
      (c.testCopy ? ' [test copy]' : '');
    sel.appendChild(o);
  }
  log((m.cameras || []).length + ' camera(s) found');
}

function showCamera(c) {
  camera = c;
  if (!c) { $('identity').textContent = 'no camera open'; return; }
  $('identity').textContent = c.name + ', serial ' + (c.serial || '-') + ', ' + c.connect +
    (c.virtual ? ' (virtual)' : '') + ', ' + c.resolution[0] + ' x ' + c.resolution[1] + (c.live ? ', live' : '');
  showParameters(c.parameters || {});
  $('motor-panel').hidden = !c.motor;
  const net = $('network');
  net.innerHTML = '';
  $('network-panel').hidden = !c.network;
  if (c.network) {
    for (const [k, v] of Object.entries(c.network)) {
      const tr = document.createElement('tr');
      tr.innerHTML = '<td></td><td></td>';
      tr.children[0].textContent = k;
      tr.children[1].textContent = v;
      net.appendChild(tr);
    }
  }
  resetMap();
}

function showParameters(p) {
  if (p.exposure != null) $('exposure').value = p.exposure;
  if (p.threshold != null) $('threshold').value = p.threshold;
  if (p.trigger != null) $('trigger').value = String(p.trigger);
  if (p.roi) { $('roi').value = p.roi.join(','); drawImage(); }
  if (p.denoise != null) $('denoise').value = p.denoise ? 'on' : 'off';
}

function showStatus(m) {
  if (stats) {
    stats.status = m;
    if (stats.clock.length < STATS_MAX) stats.clock.push([m.serverMs, wallNow()]);
  }
  if (typeof m.serverMs === 'number') {
    const off = m.serverMs - performance.now();
    clockOffset = clockOffset === null ? off : Math.max(clockOffset, off);
  }
  $('stat-fps').textContent = m.fps;
  $('stat-frames').textContent = m.frames;
  $('stat-lost').textContent = m.framesLost;
  $('stat-resent').textContent = m.packetsResent == null ? '-' : m.packetsResent;
  $('stat-browsers').textContent = m.browsers;
}

// ---- live profile ----
function parseProfile(buf) {
  if (buf.byteLength < HEADER) return null;
  const v = new DataView(buf);
  if (v.getUint32(0, true) !== MAGIC) return null;
  const n = v.getUint32(4, true);
  if (buf.byteLength < HEADER + n * 12) return null;
  return {
    frame: v.getFloat64(8, true), serverMs: v.getFloat64(16, true), fps: v.getFloat32(24, true), lost: v.getUint32(28, true),
    resent: v.getUint32(32, true), decodeUs: v.getFloat32(36, true), travel: v.getFloat64(40, true),
    alongY: (v.getUint32(48, true) & 1) !== 0, n,
    xz: new Float32Array(buf, HEADER, n * 2),
    pix: new Int16Array(buf, HEADER + n * 8, n * 2),
  };
}

const view = { xmin: 0, xmax: 0, zmin: 0, zmax: 0, set: false };
function drawProfile(p) {
  const cv = $('profile');
  const g = cv.getContext('2d');
  g.fillStyle = '#111';
  g.fillRect(0, 0, cv.width, cv.height);
  const pixels = $('show-pixels').checked;
  let xmin = Infinity, xmax = -Infinity, zmin = Infinity, zmax = -Infinity;
  for (let i = 0; i < p.n; i++) {
    const x = pixels ? p.pix[2 * i] : p.xz[2 * i];
    const z = pixels ? p.pix[2 * i + 1] : p.xz[2 * i + 1];
    if (!isFinite(x) || !isFinite(z)) continue;
    xmin = Math.min(xmin, x); xmax = Math.max(xmax, x); zmin = Math.min(zmin, z); zmax = Math.max(zmax, z);
  }
  if (!isFinite(xmin)) return;
  // Axes only widen, so the picture holds still while the scene changes.
  if (!view.set || view.pixels !== pixels) {
    Object.assign(view, { xmin, xmax, zmin, zmax, set: true, pixels });
  } else {
    view.xmin = Math.min(view.xmin, xmin); view.xmax = Math.max(view.xmax, xmax);
    view.zmin = Math.min(view.zmin, zmin); view.zmax = Math.max(view.zmax, zmax);
  }
  const L = 60, R = 10, T = 10, B = 30;
  const w = cv.width - L - R, h = cv.height - T - B;
  const dx = (view.xmax - view.xmin) || 1, dz = (view.zmax - view.zmin) || 1;
  // A margin of 4 % inside the frame, so that points on the range's edge stay visible.
  const sx = (x) => L + (0.04 + 0.92 * (x - view.xmin) / dx) * w;
  const sz = (z) => T + (0.04 + 0.92 * (z - view.zmin) / dz) * h;   // nearer (smaller Z) up
  g.strokeStyle = '#444'; g.fillStyle = '#aaa'; g.font = '11px sans-serif';
  for (let k = 0; k <= 4; k++) {
    const x = view.xmin + dx * k / 4, z = view.zmin + dz * k / 4;
    g.beginPath(); g.moveTo(sx(x), T); g.lineTo(sx(x), T + h); g.stroke();
    g.beginPath(); g.moveTo(L, sz(z)); g.lineTo(L + w, sz(z)); g.stroke();
    g.fillText(x.toFixed(pixels ? 0 : 1), sx(x) - 14, cv.height - 12);
    g.fillText(z.toFixed(pixels ? 0 : 1), 4, sz(z) + 4);
  }
  g.fillText(pixels ? 'image column' : (p.alongY ? 'Y mm' : 'X mm'), L + w - 70, cv.height - 1);
  g.fillText(pixels ? 'row' : 'Z mm', L + 4, T + 12);
  for (let i = 0; i < p.n; i++) {
    const x = pixels ? p.pix[2 * i] : p.xz[2 * i];
    const z = pixels ? p.pix[2 * i + 1] : p.xz[2 * i + 1];
    if (!isFinite(x) || !isFinite(z)) continue;
    g.fillStyle = scaleCss[scaleStep((z - view.zmin) / dz)];
    g.fillRect(sx(x) - 1, sz(z) - 1, 3, 3);
  }
  cv.dataset.frame = String(p.frame);
}

// ---- height map: rows of the profiles received, in mm on both axes ----
const map = { ready: false, rows: 0, lastTravel: null };
function resetMap() {
  map.ready = false; map.rows = 0; map.lastTravel = null;
  const cv = $('heightmap');
  cv.getContext('2d').clearRect(0, 0, cv.width, cv.height);
  cv.dataset.rows = '0';
}
function drawMapRow(p) {
  const cv = $('heightmap');
  const g = cv.getContext('2d');
  if (!map.ready) {
    let xmin = Infinity, xmax = -Infinity, zmin = Infinity, zmax = -Infinity;
    for (let i = 0; i < p.n; i++) {
      const x = p.xz[2 * i], z = p.xz[2 * i + 1];
      if (!isFinite(x) || !isFinite(z)) continue;
      xmin = Math.min(xmin, x); xmax = Math.max(xmax, x); zmin = Math.min(zmin, z); zmax = Math.max(zmax, z);
    }
    if (!isFinite(xmin) || xmax <= xmin) return;
    const pad = (xmax - xmin) * 0.05;
    map.xmin = xmin - pad; map.cell = (xmax - xmin + 2 * pad) / cv.width;
    map.zmin = zmin - 1; map.zmax = zmax + 1;
    map.ready = true;
    g.fillStyle = '#000'; g.fillRect(0, 0, cv.width, cv.height);
    drawLegend();
  }
  // Rows for the travel since the last profile: to scale, at least one, at most 40.
  let rows = 1;
  if (map.lastTravel !== null) rows = Math.round(Math.abs(p.travel - map.lastTravel) / map.cell);
  map.lastTravel = p.travel;
  rows = Math.max(1, Math.min(40, rows));
  g.drawImage(cv, 0, rows, cv.width, cv.height - rows, 0, 0, cv.width, cv.height - rows);
  const line = g.createImageData(cv.width, 1);
  const zs = new Float32Array(cv.width).fill(NaN);
  for (let i = 0; i < p.n; i++) {
    const c = Math.floor((p.xz[2 * i] - map.xmin) / map.cell);
    const z = p.xz[2 * i + 1];
    if (c < 0 || c >= cv.width || !isFinite(z)) continue;
    if (isNaN(zs[c]) || z < zs[c]) zs[c] = z;
  }
  // The Z scale widens to every height seen (rows drawn before keep their colours; "Reset scale"
  // starts anew).
  let widened = false;
  for (let c = 0; c < cv.width; c++) {
    if (isNaN(zs[c])) continue;
    if (zs[c] < map.zmin) { map.zmin = zs[c]; widened = true; }
    if (zs[c] > map.zmax) { map.zmax = zs[c]; widened = true; }
  }
  if (widened) drawLegend();
  for (let c = 0; c < cv.width; c++) {
    const rgb = isNaN(zs[c]) ? [0, 0, 0] : turbo((zs[c] - map.zmin) / (map.zmax - map.zmin));
    line.data.set([rgb[0], rgb[1], rgb[2], 255], c * 4);
  }
  for (let r = 0; r < rows; r++) g.putImageData(line, 0, cv.height - rows + r);
  map.rows += 1;
  cv.dataset.rows = String(map.rows);
  cv.dataset.cell = String(map.cell);
}
function drawLegend() {
  const cv = $('legend');
  const g = cv.getContext('2d');
  g.fillStyle = '#26292c'; g.fillRect(0, 0, cv.width, cv.height);
  g.fillStyle = '#ddd'; g.font = '12px sans-serif';
  g.fillText('Z mm', 6, 14);
  const top = 24, bottom = cv.height - 50;
  for (let y = top; y <= bottom; y++) {
    const c = turbo((y - top) / (bottom - top));
    g.fillStyle = 'rgb(' + c[0] + ',' + c[1] + ',' + c[2] + ')';
    g.fillRect(6, y, 18, 1);
  }
  g.fillStyle = '#ddd';
  for (let k = 0; k <= 4; k++) {
    const y = top + (bottom - top) * k / 4;
    g.fillRect(24, y, 5, 1);
    g.fillText((map.zmin + (map.zmax - map.zmin) * k / 4).toFixed(1), 32, y + 4);
  }
  // Length scale: a round number of mm.
  let len = 1;
  for (const d of [0.1, 0.2, 0.5, 1, 2, 5, 10, 20, 50, 100, 200, 500, 1000]) if (d / map.cell <= 110) len = d;
  const px = len / map.cell;
  g.fillRect(6, cv.height - 30, px, 3);
  g.fillText(len + ' mm', 6, cv.height - 12);
}

// ---- 3D view: the last profiles as points, coloured by height ----
// Tens of thousands of points: written as pixels into one image, not drawn one by one (a
// fillRect per point took 50 to 300 ms in a browser drawing without a GPU, and held back the
// live profile meanwhile).
let last3d = 0;
const orbit = { yaw: -0.6, pitch: 0.5, zoom: 1, drag: null };
let image3d = null;
const BACKGROUND_3D = new Uint32Array(new Uint8Array([0x11, 0x11, 0x11, 255]).buffer)[0];
function draw3d() {
  const cv = $('view3d');
  const g = cv.getContext('2d');
  const W = cv.width, H = cv.height;
  if (!image3d || image3d.width !== W || image3d.height !== H) image3d = g.createImageData(W, H);
  const px = new Uint32Array(image3d.data.buffer);
  px.fill(BACKGROUND_3D);
  if (history.length === 0) { g.putImageData(image3d, 0, 0); return; }
  let xmin = Infinity, xmax = -Infinity, zmin = Infinity, zmax = -Infinity;
  const t0 = history[0].travel, t1 = history[history.length - 1].travel;
  for (const p of history) for (let i = 0; i < p.n; i += 8) {
    const x = p.xz[2 * i], z = p.xz[2 * i + 1];
    if (!isFinite(x) || !isFinite(z)) continue;
    xmin = Math.min(xmin, x); xmax = Math.max(xmax, x); zmin = Math.min(zmin, z); zmax = Math.max(zmax, z);
  }
  if (!isFinite(xmin)) { g.putImageData(image3d, 0, 0); return; }
  const cx = (xmin + xmax) / 2, ct = (t0 + t1) / 2, cz = (zmin + zmax) / 2;
  const size = Math.max(xmax - xmin, Math.abs(t1 - t0), zmax - zmin, 1);
  const s = Math.min(cv.width, cv.height) / size * 0.8 * orbit.zoom;
  const cy = Math.cos(orbit.yaw), sy = Math.sin(orbit.yaw), cp = Math.cos(orbit.pitch), sp = Math.sin(orbit.pitch);
  for (const p of history) {
    for (let i = 0; i < p.n; i += 8) {
      const x = p.xz[2 * i] - cx, z = p.xz[2 * i + 1];
      if (!isFinite(x) || !isFinite(z)) continue;
      const y = p.travel - ct, h = cz - z;   // up is nearer the camera
      const xr = x * cy - y * sy, yr = x * sy + y * cy;
      const u = Math.floor(W / 2 + xr * s), v = Math.floor(H / 2 - (h * cp - yr * sp) * s);
      if (!(u >= 0 && u < W - 1 && v >= 0 && v < H - 1)) continue;
      const c = scaleWords[scaleStep((z - zmin) / ((zmax - zmin) || 1))];
      const k = v * W + u;
      px[k] = c; px[k + 1] = c; px[k + W] = c; px[k + W + 1] = c;   // 2 x 2 pixels
    }
  }
  g.putImageData(image3d, 0, 0);
}

// ---- camera image with the detection window ----
const shot = { img: null, origin: [0, 0], scale: 1, drag: null };
function roiValues() {
  const v = $('roi').value.split(':')[0].split(',').map(Number);
  return v.length === 4 && v.every(isFinite) ? v : null;
}
function drawImage() {
  const cv = $('image');
  const g = cv.getContext('2d');
  if (!shot.img) return;
  cv.width = shot.img.width; cv.height = shot.img.height;
  g.drawImage(shot.img, 0, 0);
  // Sensor coordinates to the picture: minus the origin, divided by the scale.
  const toX = (x) => (x - shot.origin[0]) / shot.scale, toY = (y) => (y - shot.origin[1]) / shot.scale;
  const roi = shot.drag ? shot.drag : roiValues();
  if (roi) {
    g.strokeStyle = shot.drag ? '#ffd23f' : '#ff5533';
    g.lineWidth = 2;
    g.strokeRect(toX(roi[0]), toY(roi[2]), toX(roi[1]) - toX(roi[0]), toY(roi[3]) - toY(roi[2]));
  }
}
function sensorAt(e) {
  const cv = $('image');
  const r = cv.getBoundingClientRect();
  const x = (e.clientX - r.left) * cv.width / r.width, y = (e.clientY - r.top) * cv.height / r.height;
  return [Math.round(x * shot.scale + shot.origin[0]), Math.round(y * shot.scale + shot.origin[1])];
}

function frameLoop(refreshStart) {
  if (newest) {
    const p = parseProfile(newest);
    const arrived = newestArrived;
    newest = null;
    const began = stats ? wallNow() : 0;
    let drew3d = 0;
    if (p) {
      drawProfile(p);
      drawMapRow(p);
      history.push(p);
      if (history.length > HISTORY) history.shift();
      // The 3D view costs most: twice a second is enough for a view one turns by hand.
      const now = performance.now();
      if (now - last3d > 500) { last3d = now; draw3d(); drew3d = 1; }
      $('stat-decode').textContent = p.decodeUs.toFixed(1);
      $('stat-lost').textContent = p.lost;
      if (stats) {
        stats.drawn++;
        if (stats.samples.length < STATS_MAX)
          stats.samples.push([p.frame, p.serverMs, arrived, began, wallNow(), performance.timeOrigin + refreshStart, drew3d]);
      }
      // From the frame's delivery in the tool to the end of its drawing here.
      if (clockOffset !== null) {
        latencies.push(performance.now() + clockOffset - p.serverMs);
        if (latencies.length > 100) latencies.shift();
        const sorted = latencies.slice().sort((a, b) => a - b);
        const last = latencies[latencies.length - 1];
        $('stat-latency').textContent = last.toFixed(1);
        $('stat-latency').dataset.median = sorted[Math.floor(sorted.length / 2)].toFixed(1);
        $('stat-latency').dataset.max = sorted[sorted.length - 1].toFixed(1);
      }
    }
  }
  requestAnimationFrame(frameLoop);
}

function wire() {
  $('refresh').onclick = () => send('list', null, showCameras);
  $('open').onclick = () => {
    const v = $('camera-select').value;
    if (v === '') { log('no camera in the list', true); return; }
    log('opening camera ' + v);
    send('open', { camera: v }, (r) => { if (r.error) log(r.error, true); });
  };
  $('close').onclick = () => send('close');
  $('live').onclick = () => {
    live = !live;
    $('live').textContent = live ? 'Pause live' : 'Resume live';
    send(live ? 'start' : 'stop');
  };
  for (const b of document.querySelectorAll('button[data-param]')) {
    b.onclick = () => {
      const name = b.dataset.param;
      const el = $(name + '-answer');
      el.textContent = '...';
      el.className = 'answer';
      send('set', { item: name + '=' + $(name).value.trim() }, (r) => {
        showAnswer(el, r);
        if (r.parameters) showParameters(r.parameters);
      });
    };
  }
  $('ap-apply').onclick = () => {
    const filters = [];
    const lo = $('ap-zmin').value, hi = $('ap-zmax').value;
    if (lo !== '' && hi !== '') filters.push('z:' + lo + ':' + hi);
    send('afterproc', { step: Number($('ap-step').value), filters }, (r) => showAnswer($('ap-answer'), r));
  };
  $('snapshot').onclick = () => send('snapshot', null, (r) => {
    const el = $('snapshot-answer');
    if (r.error) { el.textContent = r.error; el.className = 'answer bad'; return; }
    el.textContent = r.pointCloud + ' (' + r.points + ' points)' + (r.heightMap ? ', ' + r.heightMap : '');
    el.className = 'answer ok';
  });
  $('record').onclick = () => {
    const el = $('record-answer');
    el.textContent = 'recording ...';
    el.className = 'answer';
    send('record', { frames: Number($('record-frames').value) }, (r) => {
      if (r.error) { el.textContent = r.error; el.className = 'answer bad'; log(r.error, true); return; }
      el.textContent = r.path + ' (' + r.frames + ' frames)';
      el.className = 'answer ok';
    });
  };
  const motor = (action, extra) => send('motor', Object.assign({ action }, extra || {}), (r) => {
    showAnswer($('motor-answer'), r);
    const facts = [];
    if (r.position !== undefined) facts.push('at ' + r.position.toFixed(1) + '\u00b0');
    if (r.running !== undefined) facts.push(r.running ? 'running' : 'stopped');
    if (r.maxAngle !== undefined) facts.push('range 0 to ' + r.maxAngle + '\u00b0');
    if (facts.length) $('motor-answer').textContent += ', ' + facts.join(', ');
  });
  $('motor-move').onclick = () => motor('move', { angle: Number($('motor-angle').value) });
  $('motor-center').onclick = () => motor('center');
  $('motor-run').onclick = () => motor('run');
  $('motor-stop').onclick = () => motor('stop');
  $('motor-status').onclick = () => motor('status');
  $('map-reset').onclick = resetMap;
  $('image-take').onclick = () => {
    const el = $('image-answer');
    el.textContent = '...';
    send('image', null, (r) => {
      if (r.error) { el.textContent = r.error; el.className = 'answer bad'; return; }
      el.textContent = 'image ' + r.size[0] + ' x ' + r.size[1] + ' at ' + r.origin.join(', ') + ' of the sensor' +
        (r.scale > 1 ? ', shown at 1/' + r.scale : '');
      el.className = 'answer ok';
      if (r.parameters) showParameters(r.parameters);
      const img = new Image();
      img.onload = () => { shot.img = img; shot.origin = r.origin; shot.scale = r.scale; drawImage(); };
      img.src = r.image;
    });
  };
  const icv = $('image');
  icv.onmousedown = (e) => { if (shot.img) { const p = sensorAt(e); shot.drag = [p[0], p[0], p[1], p[1]]; shot.start = p; } };
  icv.onmousemove = (e) => {
    if (!shot.drag) return;
    const p = sensorAt(e);
    shot.drag = [Math.min(shot.start[0], p[0]), Math.max(shot.start[0], p[0]), Math.min(shot.start[1], p[1]), Math.max(shot.start[1], p[1])];
    drawImage();
  };
  icv.onmouseup = () => {
    if (!shot.drag) return;
    // The window chosen goes into the roi field; Set sends it and shows the camera's answer.
    $('roi').value = shot.drag.join(',');
    shot.drag = null;
    drawImage();
  };
  $('roi').oninput = drawImage;
  const cv = $('view3d');
  cv.onmousedown = (e) => { orbit.drag = [e.clientX, e.clientY]; };
  window.onmouseup = () => { orbit.drag = null; };
  cv.onmousemove = (e) => {
    if (!orbit.drag) return;
    orbit.yaw += (e.clientX - orbit.drag[0]) * 0.01;
    orbit.pitch = Math.max(-1.5, Math.min(1.5, orbit.pitch + (e.clientY - orbit.drag[1]) * 0.01));
    orbit.drag = [e.clientX, e.clientY];
    draw3d();
  };
  cv.onwheel = (e) => {
    e.preventDefault();
    orbit.zoom = Math.max(0.1, Math.min(20, orbit.zoom * (e.deltaY < 0 ? 1.1 : 0.9)));
    draw3d();
  };
}

wire();
connect();
requestAnimationFrame(frameLoop);
