// The status panel: each camera's figures from /api/status, and the core's memory and throttling.

export function bytes(count) {
  const units = ['B', 'KiB', 'MiB', 'GiB', 'TiB'];
  let value = count;
  let unit = 0;
  while (value >= 1024 && unit < units.length - 1) {
    value /= 1024;
    unit++;
  }
  return `${value.toFixed(unit === 0 ? 0 : 1)} ${units[unit]}`;
}

export function bitRate(bits) {
  if (bits >= 1e6) return `${(bits / 1e6).toFixed(2)} Mbit/s`;
  return `${(bits / 1e3).toFixed(0)} kbit/s`;
}

export function age(ms) {
  if (ms === null || ms === undefined) return 'none yet';
  if (ms < 1000) return `${ms} ms ago`;
  if (ms < 120000) return `${(ms / 1000).toFixed(1)} s ago`;
  return `${Math.round(ms / 60000)} min ago`;
}

function cell(row, text, className) {
  const made = document.createElement('td');
  made.textContent = text;
  if (className) made.className = className;
  row.append(made);
}

export function renderStatus(status) {
  const body = document.querySelector('#status-table tbody');
  body.replaceChildren();
  for (const camera of status.cameras) {
    const row = document.createElement('tr');
    row.dataset.camera = camera.name;
    cell(row, camera.name);
    cell(row, camera.framesPerSecond.toFixed(1));
    cell(row, bitRate(camera.bitsPerSecond));
    cell(row, age(camera.lastFrameAgeMs));
    cell(row, camera.recording ? 'yes' : 'no', camera.recording ? '' : 'stopped');
    cell(row, `${camera.missing.throttled} / ${camera.missing.other}`);
    cell(row, String(camera.recordings.files));
    cell(row, bytes(camera.recordings.bytes));
    const oldest = camera.recordings.oldestNs;
    cell(row, oldest === null ? 'none' : `${new Date(oldest / 1e6).toISOString().replace('T', ' ').substring(0, 19)} UTC`);
    if (camera.live) row.title = `live: ${JSON.stringify(camera.live)}`;
    body.append(row);
  }
  const core = status.core;
  const throttling = core.throttling === null ? 'not reported yet' : core.throttling ? 'ON' : 'off';
  document.getElementById('core-status').textContent =
    `Core: ${bytes(core.residentBytes)} resident; memory throttling ${throttling} ` +
    `(turned on ${core.throttlingStarts} times since the web view started).`;
}
