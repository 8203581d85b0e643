// Plays a camera's live stream (/live/<camera>, a WebSocket) in a <video> through Media Source
// Extensions. Each binary message is announced by a text message: "init" (the codecs, then the
// init segment: the player starts a fresh MediaSource and SourceBuffer), "fragment" (the capture
// time of its last frame, then moof+mdat), or "skipped" (the server jumped to the next key frame).

// How far behind the newest buffered frame playback may fall before it jumps to the live edge.
const MAX_DELAY_S = 1.0;
// Where playback lands after a jump, behind the newest buffered frame.
const EDGE_S = 0.2;
// Buffered video kept behind the playing position, and how much piles up before it is removed.
const KEEP_BEHIND_S = 4;
const TRIM_AFTER_S = 12;
// Fragments waiting for the SourceBuffer before the backlog is dropped up to the next key frame.
const MAX_QUEUE = 50;
const RECONNECT_MS = 2000;

export class LivePlayer {
  // onLatency(ms): the capture-to-buffer time of each fragment as it enters the buffer.
  constructor(video, camera, onLatency) {
    this.video = video;
    this.camera = camera;
    this.onLatency = onLatency;
    this.closed = false;
    this.skipped = 0;
    this.connect();
  }

  close() {
    this.closed = true;
    clearTimeout(this.retry);
    if (this.socket) this.socket.close();
    this.detach();
  }

  connect() {
    const scheme = location.protocol === 'https:' ? 'wss:' : 'ws:';
    const socket = new WebSocket(`${scheme}//${location.host}/live/${encodeURIComponent(this.camera)}`);
    socket.binaryType = 'arraybuffer';
    this.socket = socket;
    this.header = null;
    socket.onmessage = (event) => this.onMessage(event);
    socket.onclose = () => {
      if (this.closed || this.socket !== socket) return;
      this.retry = setTimeout(() => this.connect(), RECONNECT_MS);
    };
  }

  onMessage(event) {
    if (typeof event.data === 'string') {
      let message;
      try {
        message = JSON.parse(event.data);
      } catch {
        return;
      }
      if (message.type === 'skipped') this.skipped += message.frames || 0;
      else this.header = message;
      return;
    }
    const header = this.header;
    this.header = null;
    if (!header) return;
    if (header.type === 'init') this.start(header, event.data);
    else if (header.type === 'fragment') this.enqueue({ data: event.data, captureMs: header.captureMs, key: header.key });
  }

  // A new init segment: everything buffered belongs to the old parameters, so the buffer starts over.
  start(init, bytes) {
    this.detach();
    const mime = `video/mp4; codecs="${init.codecs}"`;
    if (!window.MediaSource || !MediaSource.isTypeSupported(mime)) {
      this.video.dataset.error = `this browser cannot play ${mime}`;
      return;
    }
    this.video.dataset.width = init.width;
    this.video.dataset.height = init.height;
    const source = new MediaSource();
    this.source = source;
    this.buffer = null;
    this.queue = [{ data: bytes, captureMs: null, key: true }];
    this.waitForKey = false;
    const url = URL.createObjectURL(source);
    this.video.src = url;
    source.addEventListener('sourceopen', () => {
      URL.revokeObjectURL(url);
      if (this.source !== source) return;
      const buffer = source.addSourceBuffer(mime);
      buffer.addEventListener('updateend', () => this.onUpdateEnd(buffer));
      this.buffer = buffer;
      this.pump();
    }, { once: true });
  }

  detach() {
    this.source = null;
    this.buffer = null;
    this.queue = [];
    this.pending = null;
    this.video.removeAttribute('src');
    this.video.load();
  }

  enqueue(fragment) {
    if (!this.source) return; // no init yet
    if (this.waitForKey) {
      if (!fragment.key) return;
      this.waitForKey = false;
    }
    if (this.queue.length >= MAX_QUEUE) {
      // The buffer does not keep up (a hidden tab, a slow machine): start again at a key frame.
      this.queue = this.queue.filter((item) => item.captureMs === null);
      if (!fragment.key) {
        this.waitForKey = true;
        return;
      }
    }
    this.queue.push(fragment);
    this.pump();
  }

  pump() {
    const buffer = this.buffer;
    if (!buffer || buffer.updating || this.pending || this.queue.length === 0) return;
    const item = this.queue.shift();
    try {
      buffer.appendBuffer(item.data);
      this.pending = item;
    } catch (error) {
      // A full buffer: drop what has been played and try again at the next fragment.
      if (error.name === 'QuotaExceededError') this.trim(true);
      else this.video.dataset.error = String(error);
    }
  }

  onUpdateEnd(buffer) {
    if (buffer !== this.buffer) return;
    const appended = this.pending;
    this.pending = null;
    if (appended && appended.captureMs !== null) this.onLatency(Date.now() - appended.captureMs);
    this.followEdge();
    if (!this.trim(false)) this.pump();
  }

  // Keeps playback close behind the newest buffered frame: starts it, and jumps when it lags.
  followEdge() {
    const ranges = this.video.buffered;
    if (ranges.length === 0) return;
    const end = ranges.end(ranges.length - 1);
    const now = this.video.currentTime;
    let inside = false;
    for (let i = 0; i < ranges.length; i++) if (now >= ranges.start(i) && now <= ranges.end(i)) inside = true;
    if (!inside || end - now > MAX_DELAY_S)
      this.video.currentTime = Math.max(ranges.start(ranges.length - 1), end - EDGE_S);
    if (this.video.paused) this.video.play().catch(() => {});
  }

  // Removes buffered video well behind the playing position; true when a removal started (its
  // updateend goes on with the queue).
  trim(always) {
    const buffer = this.buffer;
    const ranges = this.video.buffered;
    if (!buffer || buffer.updating || ranges.length === 0) return false;
    const start = ranges.start(0);
    const until = this.video.currentTime - KEEP_BEHIND_S;
    if (until <= start || (!always && this.video.currentTime - start < TRIM_AFTER_S)) return false;
    buffer.remove(start, until);
    return true;
  }
}
