// A camera's day: the files of /api/recordings on a timeline (recorded spans, gaps, files being
// written), playback of the recorded files from any moment on it across file boundaries, and the
// export of a selected span. Times are ms since 1970 (UTC) in the page, ns in the server's URLs.

const DAY_MS = 86400000;
const MIN_WINDOW_MS = 60000;
const DEFAULT_WINDOW_MS = 3600000;

// ns since 1970 as a decimal string, exact (ns do not fit a double).
export function nanoseconds(ms) {
  return (BigInt(Math.round(ms)) * 1000000n).toString();
}

function clock(ms, seconds) {
  const text = new Date(ms).toISOString();
  return seconds ? text.substring(11, 19) : text.substring(11, 16);
}

function dayOf(ms) {
  return new Date(ms).toISOString().substring(0, 10);
}

function element(tag, className) {
  const made = document.createElement(tag);
  if (className) made.className = className;
  return made;
}

export class DayView {
  // fetchJson(url): the parsed answer, or null when the request failed (and was reported).
  constructor(fetchJson) {
    this.fetchJson = fetchJson;
    this.video = document.getElementById('playback');
    this.timeline = document.getElementById('timeline');
    this.overview = document.getElementById('overview');
    this.ticks = document.getElementById('ticks');
    this.dayInput = document.getElementById('day');
    this.exportLink = document.getElementById('export-link');
    this.selectionLabel = document.getElementById('selection-label');
    this.playingLabel = document.getElementById('playing');
    this.files = [];
    this.playing = null; // {file, index}
    this.selection = null; // {from, to}
    this.cursor = null;
    this.centred = null; // the moment the window was last centred on
    this.bind();
  }

  bind() {
    this.dayInput.addEventListener('change', () => {
      if (!this.dayInput.value) return;
      this.dayStart = Date.parse(`${this.dayInput.value}T00:00:00Z`);
      this.windowStart = this.dayStart;
      this.windowSpan = DAY_MS;
      this.load();
    });
    document.getElementById('zoom-in').addEventListener('click', () => this.zoom(0.5));
    document.getElementById('zoom-out').addEventListener('click', () => this.zoom(2));
    this.overview.addEventListener('click', (event) => {
      const at = this.dayStart + this.fraction(this.overview, event) * DAY_MS;
      this.windowSpan = Math.min(this.windowSpan, DEFAULT_WINDOW_MS);
      this.center(at);
    });
    // Press, drag and release selects a span; a press without a drag plays that moment.
    this.timeline.addEventListener('pointerdown', (event) => {
      this.timeline.setPointerCapture(event.pointerId);
      this.dragFrom = this.momentAt(event);
      this.dragged = false;
    });
    this.timeline.addEventListener('pointermove', (event) => {
      if (this.dragFrom === undefined) return;
      const at = this.momentAt(event);
      if (Math.abs(at - this.dragFrom) > this.windowSpan / 200) this.dragged = true;
      if (this.dragged) this.select(this.dragFrom, at);
    });
    this.timeline.addEventListener('pointerup', (event) => {
      const at = this.momentAt(event);
      if (this.dragged) this.select(this.dragFrom, at);
      else this.playAt(at);
      this.dragFrom = undefined;
    });
    this.timeline.addEventListener('keydown', (event) => this.onKey(event));
    this.video.addEventListener('ended', () => this.next());
    this.video.addEventListener('timeupdate', () => this.showPlaying());
  }

  // Opens camera's view at the day of its newest recording (today when it has none).
  async open(camera) {
    this.camera = camera;
    this.stop();
    this.selection = null;
    this.cursor = null;
    document.getElementById('camera-title').textContent = camera;
    const status = await this.fetchJson('/api/status');
    const figures = status && status.cameras.find((c) => c.name === camera);
    const newest = figures && figures.recordings.newestNs !== null ? figures.recordings.newestNs / 1e6 : Date.now();
    this.dayStart = Date.parse(`${dayOf(newest)}T00:00:00Z`);
    this.dayInput.value = dayOf(newest);
    this.windowSpan = DEFAULT_WINDOW_MS;
    this.windowStart = this.dayStart;
    await this.load();
    const last = this.files[this.files.length - 1];
    this.center(last ? last.end : Date.now());
    this.timeline.focus();
  }

  close() {
    this.stop();
    this.camera = null;
  }

  stop() {
    this.playing = null;
    this.video.pause();
    this.video.removeAttribute('src');
    this.video.load();
    this.playingLabel.textContent = '';
    delete this.video.dataset.playingMs;
  }

  async load() {
    const answer = await this.fetchJson(`/api/recordings?camera=${encodeURIComponent(this.camera)}` +
      `&from=${nanoseconds(this.dayStart)}&to=${nanoseconds(this.dayStart + DAY_MS)}`);
    if (!answer) return;
    const files = answer.files.map((f) => ({ ...f, start: f.start / 1e6, end: (f.start + f.duration) / 1e6 }));
    // A file being written has no duration yet: it runs until the next file, or until now.
    files.forEach((file, i) => {
      if (file.state === 'writing')
        file.end = i + 1 < files.length ? files[i + 1].start : Math.max(file.start, Date.now());
    });
    this.files = files;
    this.timeline.dataset.files = files.length;
    this.draw();
  }

  fraction(bar, event) {
    const box = bar.getBoundingClientRect();
    return Math.min(1, Math.max(0, (event.clientX - box.left) / box.width));
  }

  momentAt(event) {
    return this.windowStart + this.fraction(this.timeline, event) * this.windowSpan;
  }

  // Zooming keeps the moment looked at (the keyboard's cursor, else the moment last centred on, else
  // the window's middle) where it is on the timeline. Near the day's ends the window cannot centre on
  // a moment, and zooming about the window's middle would take that moment out of view.
  zoom(factor) {
    const inView = (t) => t !== null && t >= this.windowStart && t <= this.windowStart + this.windowSpan;
    const kept = [this.cursor, this.centred].find(inView) ?? this.windowStart + this.windowSpan / 2;
    const place = (kept - this.windowStart) / this.windowSpan;
    this.windowSpan = Math.min(DAY_MS, Math.max(MIN_WINDOW_MS, this.windowSpan * factor));
    this.show(kept - place * this.windowSpan);
  }

  center(at) {
    this.centred = at;
    this.show(at - this.windowSpan / 2);
  }

  // The window from start, kept within the day.
  show(start) {
    this.windowStart = Math.min(this.dayStart + DAY_MS - this.windowSpan, Math.max(this.dayStart, start));
    this.draw();
  }

  draw() {
    const place = (bar, from, to, barStart, barSpan, className) => {
      const left = Math.max(0, (from - barStart) / barSpan);
      const right = Math.min(1, (to - barStart) / barSpan);
      if (right < 0 || left > 1 || right < left) return null;
      const made = element('div', className);
      made.style.left = `${left * 100}%`;
      made.style.width = `${(right - left) * 100}%`;
      bar.append(made);
      return made;
    };
    this.overview.replaceChildren();
    this.timeline.replaceChildren();
    for (const file of this.files) {
      place(this.overview, file.start, file.end, this.dayStart, DAY_MS, `span ${file.state}`);
      const span = place(this.timeline, file.start, file.end, this.windowStart, this.windowSpan, `span ${file.state}`);
      if (span) {
        span.dataset.start = file.start;
        span.dataset.end = file.end;
        span.title = `${file.file}: ${clock(file.start, true)} to ${clock(file.end, true)} (${file.state})`;
      }
    }
    place(this.overview, this.windowStart, this.windowStart + this.windowSpan, this.dayStart, DAY_MS, 'window');
    if (this.selection)
      place(this.timeline, this.selection.from, this.selection.to, this.windowStart, this.windowSpan, 'selected');
    const mark = this.cursor ?? (this.video.dataset.playingMs ? Number(this.video.dataset.playingMs) : null);
    if (mark !== null) place(this.timeline, mark, mark, this.windowStart, this.windowSpan, 'cursor');
    this.timeline.dataset.windowStart = this.windowStart;
    this.timeline.dataset.windowSpan = this.windowSpan;
    this.timeline.setAttribute('aria-valuetext', clock(mark ?? this.windowStart, true));
    this.ticks.replaceChildren();
    const step = [60e3, 300e3, 600e3, 1800e3, 3600e3, 10800e3].find((s) => this.windowSpan / s <= 8) ?? 10800e3;
    for (let t = Math.ceil(this.windowStart / step) * step; t <= this.windowStart + this.windowSpan; t += step) {
      const tick = element('span');
      // A label's anchor slides from its left edge at the bar's start to its right edge at the bar's end,
      // so the labels at either end stay inside the bar.
      const at = ((t - this.windowStart) / this.windowSpan) * 100;
      tick.style.left = `${at}%`;
      tick.style.transform = `translateX(-${at}%)`;
      tick.textContent = this.hourOfDay(t);
      this.ticks.append(tick);
    }
    document.getElementById('window-label').textContent =
      `${clock(this.windowStart, false)} to ${this.hourOfDay(this.windowStart + this.windowSpan)} UTC`;
  }

  // hh:mm of a moment in the day shown; its end reads 24:00 rather than the next day's 00:00.
  hourOfDay(ms) {
    return ms >= this.dayStart + DAY_MS ? '24:00' : clock(ms, false);
  }

  onKey(event) {
    const step = this.windowSpan / 60;
    const at = this.cursor ?? this.windowStart + this.windowSpan / 2;
    let moved = null;
    if (event.key === 'ArrowLeft') moved = at - step;
    else if (event.key === 'ArrowRight') moved = at + step;
    else if (event.key === '+' || event.key === '=') return this.zoom(0.5);
    else if (event.key === '-') return this.zoom(2);
    else if (event.key === 'Enter' || event.key === ' ') {
      event.preventDefault();
      return this.playAt(at);
    } else return;
    event.preventDefault();
    if (event.shiftKey) this.select(this.selection ? this.selection.anchor : at, moved);
    this.cursor = moved;
    if (moved < this.windowStart || moved > this.windowStart + this.windowSpan) this.center(moved);
    else this.draw();
  }

  select(anchor, other) {
    const from = Math.min(anchor, other);
    const to = Math.max(anchor, other);
    this.selection = { anchor, from, to };
    const url = `/api/export?camera=${encodeURIComponent(this.camera)}&from=${nanoseconds(from)}&to=${nanoseconds(to)}`;
    this.exportLink.href = url;
    this.exportLink.download = `${this.camera}-${new Date(from).toISOString().replace(/[:.]/g, '-')}.mp4`;
    this.exportLink.hidden = false;
    this.selectionLabel.textContent =
      `Selected ${clock(from, true)} to ${clock(to, true)} UTC (${Math.round((to - from) / 1000)} s).`;
    this.draw();
  }

  // Plays the recording at moment at: the file holding it from there, or the next file from its start.
  playAt(at) {
    let index = this.files.findIndex((f) => at >= f.start && at < f.end);
    let offset = 0;
    if (index >= 0) offset = (at - this.files[index].start) / 1000;
    else index = this.files.findIndex((f) => f.start > at);
    this.cursor = null;
    if (index < 0) {
      this.playingLabel.textContent = `Nothing recorded at or after ${clock(at, true)}.`;
      return;
    }
    this.play(index, offset);
  }

  play(index, offset) {
    const file = this.files[index];
    this.playing = { file, index };
    this.video.src = file.url;
    this.video.dataset.file = file.url;
    this.video.addEventListener('loadedmetadata', () => {
      if (this.playing?.file !== file) return;
      // A file's media time may not start at 0.
      const base = this.video.seekable.length ? this.video.seekable.start(0) : 0;
      this.video.currentTime = base + offset;
      this.base = base;
      this.video.play().catch(() => {});
    }, { once: true });
  }

  // At a file's end: the next one, or the same one again further on while it is being written.
  async next() {
    if (!this.playing) return;
    const current = this.playing.file;
    const reached = this.video.currentTime - (this.base || 0);
    await this.load();
    const index = this.files.findIndex((f) => f.start > current.start);
    if (index >= 0) return this.play(index, 0);
    const again = this.files.findIndex((f) => f.url === current.url);
    if (again >= 0 && this.files[again].state === 'writing') setTimeout(() => this.play(again, reached), 1000);
  }

  showPlaying() {
    if (!this.playing) return;
    const at = this.playing.file.start + (this.video.currentTime - (this.base || 0)) * 1000;
    this.video.dataset.playingMs = Math.round(at);
    this.playingLabel.textContent = `Playing ${this.playing.file.file}: ${dayOf(at)} ${clock(at, true)} UTC`;
    if (this.dragFrom === undefined && this.cursor === null) this.draw(); // the playing position's mark
  }
}
