// The page: the login when the server asks for one, the grid of live tiles, a camera's day and the
// status panel, chosen by the address's fragment (#/, #/camera/<name>, #/status).
import { LivePlayer } from './live_player.js';
import { DayView } from './day_view.js';
import { renderStatus } from './status_panel.js';

const STATUS_EVERY_MS = 2000;
const views = ['login-view', 'grid-view', 'camera-view', 'status-view'];
const players = new Map(); // camera name to its tile's LivePlayer
let statusTimer = null;
let dayView = null;

function show(id) {
  for (const view of views) document.getElementById(view).hidden = view !== id;
}

function say(text) {
  const message = document.getElementById('message');
  message.textContent = text;
  message.hidden = !text;
}

class LoginNeeded extends Error {}

// The JSON answer of url; throws LoginNeeded on 401, null on another failure (said on the page).
async function getJson(url) {
  const response = await fetch(url, { credentials: 'same-origin', cache: 'no-store' });
  if (response.status === 401) throw new LoginNeeded();
  if (!response.ok) {
    say(`${url}: ${response.status} ${await response.text()}`);
    return null;
  }
  return response.json();
}

async function fetchJson(url) {
  try {
    return await getJson(url);
  } catch (error) {
    if (error instanceof LoginNeeded) showLogin();
    else say(`${url}: ${error}`);
    return null;
  }
}

function showLogin() {
  stopAll();
  show('login-view');
  document.querySelector('#login-form input[name=name]').focus();
}

function stopAll() {
  for (const player of players.values()) player.close();
  players.clear();
  document.getElementById('grid').replaceChildren();
  clearInterval(statusTimer);
  statusTimer = null;
  if (dayView) dayView.close();
}

function tile(camera) {
  const article = document.createElement('article');
  article.className = 'tile';
  article.tabIndex = 0;
  article.dataset.camera = camera.name;
  article.setAttribute('aria-label', `${camera.name}: open its recordings`);
  const video = document.createElement('video');
  video.muted = true;
  video.autoplay = true;
  video.playsInline = true;
  const mark = document.createElement('span');
  mark.className = 'mark';
  mark.title = 'not recording';
  const caption = document.createElement('div');
  caption.className = 'caption';
  const name = document.createElement('span');
  name.className = 'name';
  name.textContent = camera.name;
  const size = document.createElement('span');
  size.className = 'size';
  const rate = document.createElement('span');
  rate.className = 'rate';
  const latency = document.createElement('span');
  latency.className = 'latency';
  latency.title = 'from capture to the browser\'s buffer';
  caption.append(name, size, rate, latency);
  article.append(video, mark, caption);
  const open = () => { location.hash = `#/camera/${encodeURIComponent(camera.name)}`; };
  article.addEventListener('click', open);
  article.addEventListener('keydown', (event) => {
    if (event.key === 'Enter') open();
  });
  updateTile(article, camera);
  players.set(camera.name, new LivePlayer(video, camera.name, (ms) => {
    article.dataset.latencyMs = ms;
    latency.textContent = `${ms} ms`;
  }));
  return article;
}

function updateTile(article, camera) {
  article.querySelector('.size').textContent = `${camera.width}x${camera.height}`;
  article.querySelector('.rate').textContent = `${camera.framesPerSecond.toFixed(1)} fps`;
  article.classList.toggle('recording', camera.recording);
  article.dataset.recording = camera.recording;
  article.dataset.width = camera.width;
}

async function showGrid() {
  const answer = await fetchJson('/api/cameras');
  if (!answer) return;
  show('grid-view');
  const grid = document.getElementById('grid');
  document.getElementById('no-cameras').hidden = answer.cameras.length > 0;
  for (const camera of answer.cameras) {
    const found = grid.querySelector(`.tile[data-camera="${CSS.escape(camera.name)}"]`);
    if (found) updateTile(found, camera);
    else grid.append(tile(camera));
  }
  statusTimer = setInterval(async () => {
    const again = await fetchJson('/api/cameras');
    if (!again) return;
    for (const camera of again.cameras) {
      const found = grid.querySelector(`.tile[data-camera="${CSS.escape(camera.name)}"]`);
      if (found) updateTile(found, camera);
      else grid.append(tile(camera));
    }
  }, STATUS_EVERY_MS);
}

async function showStatus() {
  const refresh = async () => {
    const status = await fetchJson('/api/status');
    if (status) renderStatus(status);
  };
  show('status-view');
  await refresh();
  statusTimer = setInterval(refresh, STATUS_EVERY_MS);
}

async function showCamera(name) {
  show('camera-view');
  dayView = dayView || new DayView(fetchJson);
  await dayView.open(name);
}

async function route() {
  stopAll();
  say('');
  const hash = location.hash || '#/';
  if (hash.startsWith('#/camera/')) return showCamera(decodeURIComponent(hash.substring(9)));
  if (hash === '#/status') return showStatus();
  return showGrid();
}

document.getElementById('login-form').addEventListener('submit', async (event) => {
  event.preventDefault();
  const form = new FormData(event.target);
  const response = await fetch('/api/login', {
    method: 'POST',
    headers: { 'Content-Type': 'application/json' },
    body: JSON.stringify({ name: form.get('name'), password: form.get('password') }),
  });
  const text = document.getElementById('login-message');
  if (response.ok) {
    text.textContent = '';
    event.target.reset();
    route();
  } else {
    text.textContent = response.status === 429 ? 'Too many failed logins: wait a moment.' : 'Wrong name or password.';
  }
});

// Escape leaves a camera's view or the status panel for the grid.
document.addEventListener('keydown', (event) => {
  if (event.key === 'Escape' && location.hash !== '' && location.hash !== '#/') location.hash = '#/';
});
window.addEventListener('hashchange', route);
route();
