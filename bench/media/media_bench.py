#!/usr/bin/env python3
"""The media benchmark: cameras recorded by dvrcore (LogPI, MediaSource, SegmentRecorder) and by
processes of the ffmpeg tool doing the same job, one process a camera.

    media_bench.py BUILD_DIR [--quick] [--cameras 1,4,8,16] [--profile 1080p-aac,720p-g711]
                   [--window SECONDS] [--strace [CAMERAS]] [--no-fast | --fast-only] [--alone]

  real time  both sides at once on the same loopback RTSP server (bench_rtsp_server.py, one shared
             pipeline a mount, each sending a clip at its own pace), for each profile and camera
             count: once frames flow on both and after a warm-up, over a window (60 s; 20 s with
             --quick, cameras 1,4), CPU seconds per camera-hour (user and system), read + write
             system calls and context switches per video frame, peak (VmHWM) and steady (mean VmRSS
             and Pss over the window) resident memory per side, and every frame the core dropped.
             The core's frames are those its recorder counts in the window; ffmpeg's are its files'
             frame rate (ffprobe's packets over duration) times the window.
  fast       16 file cameras read as fast as they can be (MediaSource pace="0") and 16 ffmpeg
             processes (without -re, -progress reports) on the looped clip, both sides started
             together and left running: once both write and after a warm-up (8 s; 5 s with
             --quick), over a window (30 s; 15 s with --quick), each side's camera-seconds recorded
             per wall second and CPU seconds per camera-hour, and the core's dropped frames (dvrcore
             recording nothing for 20 s is a stall, reported)
  --alone    after the fast run, the core's import alone: a diagnostic of where its time goes (camera-
             seconds a second, CPU per camera-hour, bytes written against its files' growth, its
             threads' states sampled every 50 ms: R runnable, D waiting for the disk, S sleeping)
  --strace   one more real-time run (8 cameras unless given) with `strace -c -f` on the core and on
             one ffmpeg for 15 s: the system calls each makes most, per video frame
The clips are made once with the ffmpeg tool and kept in BUILD_DIR/bench/media/. A sample of each
side's recorded files must decode without an error. The figures go to
BUILD_DIR/bench/media_results.json.
"""
import argparse
import json
import os
import pty
import re
import select
import shutil
import signal
import socket
import struct
import subprocess
import sys
import threading
import time

import media_figures

CAMERAS = 16
FPS = 25
START_LINE = b"successfully started core version"
IPC_PARAMETERS = 7
MEDIA_SOURCE_TARGET = 0x0A2 << 20
RECORDER_TARGET = 0x0A3 << 20
MIB = 1048576
STALL_SECONDS = 20


def fail(message):
    sys.stderr.write("media bench: %s\n" % message)
    sys.exit(1)


def memory(pid):
    """VmRSS and VmHWM in bytes, and Pss (shared pages split among their users)."""
    figures = {}
    for name in ("status", "smaps_rollup"):
        try:
            with open("/proc/%d/%s" % (pid, name)) as source:
                for line in source:
                    key = line.split(":")[0]
                    if key in ("VmRSS", "VmHWM", "Pss"):
                        figures[key] = int(line.split()[1]) * 1024
        except OSError:
            pass
    return figures


class Sampler:
    """Resident memory of a group of processes, summed, sampled during a window."""

    def __init__(self):
        self.rss, self.pss = [], []

    def sample(self, pids):
        rows = [memory(pid) for pid in pids]
        self.rss.append(sum(r.get("VmRSS", 0) for r in rows))
        self.pss.append(sum(r.get("Pss", 0) for r in rows))

    def steady(self):
        return sum(self.rss) / len(self.rss), sum(self.pss) / len(self.pss)


def make_clip(folder):
    clip = os.path.join(folder, "camera-1080p25-4M.mp4")
    if not os.path.exists(clip):
        print("media bench: making %s with the ffmpeg tool (once)" % clip, flush=True)
        part = clip + ".part.mp4"
        subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "testsrc2=size=1920x1080:rate=25",
                        "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000", "-t", "10",
                        "-vf", "noise=alls=12:allf=t", "-c:v", "libx264", "-preset", "veryfast", "-b:v", "4M",
                        "-maxrate", "4M", "-bufsize", "8M", "-g", "50", "-pix_fmt", "yuv420p",
                        "-c:a", "aac", "-b:a", "64k", part], check=True)
        os.rename(part, clip)
    probe = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "format=bit_rate", "-of", "csv=p=0", clip],
                           check=True, capture_output=True, text=True)
    return clip, int(probe.stdout.strip()) / 1e6


class Core:
    """dvrcore with exactly LogPI, MediaSource and SegmentRecorder (and any more plugins given) in a
    fresh working folder."""

    def __init__(self, build, work, cameras, more_plugins=(), configs=None):
        """cameras: (name, url, extra attributes) for media_source.xml; configs: more files of the
        working folder, by name."""
        self.work = work
        os.makedirs(os.path.join(work, "bin", "plugins"))
        os.makedirs(os.path.join(work, "bin", "protected-plugins"))
        shutil.copy2(os.path.join(build, "dvrcore"), os.path.join(work, "bin"))
        for plugin in ("LogPI", "MediaSource", "SegmentRecorder") + tuple(more_plugins):
            shutil.copy2(os.path.join(build, "plugins", plugin + ".so"), os.path.join(work, "bin", "plugins"))
        for name, text in (configs or {}).items():
            with open(os.path.join(work, name), "w") as config:
                config.write(text)
        with open(os.path.join(work, "media_source.xml"), "w") as config:
            config.write("<MediaSource>\n")
            for name, url, extra in cameras:
                config.write('  <Camera name="%s" url="%s"%s/>\n' % (name, url, extra))
            config.write("</MediaSource>\n")
        with open(os.path.join(work, "segment_recorder.xml"), "w") as config:
            config.write('<SegmentRecorder folder="recordings" segmentSeconds="10"/>\n')
        self.parent, child = socket.socketpair(socket.AF_UNIX, socket.SOCK_SEQPACKET)
        # The core writes its console only to a terminal: a pseudo-terminal, read all the time.
        self.console = bytearray()
        master, slave = pty.openpty()
        self.started = time.monotonic()
        self.process = subprocess.Popen([os.path.join(work, "bin", "dvrcore"), str(child.fileno())], cwd=work,
                                        stdin=subprocess.DEVNULL, stdout=slave, stderr=subprocess.STDOUT,
                                        pass_fds=(child.fileno(),))
        os.close(slave)
        child.close()
        self.reader = threading.Thread(target=self.read_console, args=(master,), daemon=True)
        self.reader.start()
        payload = b"mediabench\x001.0"
        self.parent.send(struct.pack("<IIII", 16 + len(payload), 0, IPC_PARAMETERS, 0) + payload)
        deadline = time.monotonic() + 30
        while START_LINE not in self.console:
            if self.process.poll() is not None or time.monotonic() > deadline:
                self.process.kill()
                fail("the core did not start: %s" % self.console_text())
            time.sleep(0.05)

    def read_console(self, master):
        while True:
            try:
                chunk = os.read(master, 65536)
            except OSError:
                break
            if not chunk:
                break
            self.console += chunk
        os.close(master)

    def console_text(self):
        return self.console.decode(errors="replace")[-2000:]

    def ask(self, target, prefix):
        """One parent packet to a module; its answer's text (other packets are skipped)."""
        self.parent.send(struct.pack("<IIII", 16, target, 1, 0))
        self.parent.settimeout(10)
        while True:
            try:
                packet = self.parent.recv(1 << 20)
            except socket.timeout:
                fail("no answer from %s within 10 s" % prefix)
            if packet.startswith(prefix):
                return packet.decode(errors="replace")

    def figures(self):
        """Frames recorded and every drop, summed over the cameras, from both plugins' answers."""
        source = self.ask(MEDIA_SOURCE_TARGET, b"media_source:")
        recorder = self.ask(RECORDER_TARGET, b"recorder:")
        drops = {}
        for text, side in ((source, "source"), (recorder, "recorder")):
            for part in re.findall(r"dropped: ([^;]*)", text):
                for cause, count in re.findall(r"([a-z ]+?) (\d+)", part):
                    key = "%s %s" % (side, cause.strip())
                    drops[key] = drops.get(key, 0) + int(count)
        tail = re.search(r"frames without stream parameters (\d+), malformed events (\d+)", recorder)
        if tail:
            drops["recorder without stream parameters"] = int(tail.group(1))
            drops["recorder malformed events"] = int(tail.group(2))
        per_camera = [int(v) for v in re.findall(r"(\d+) video and \d+ audio frames", recorder)]
        video = sum(per_camera)
        recorded = sum(int(v) + int(a) for v, a in re.findall(r"(\d+) video and (\d+) audio frames", recorder))
        read = sum(int(r) for r in re.findall(r": read (\d+), sent", source))
        return {"video_frames": video, "fewest_video_frames": min(per_camera, default=0),
                "cameras_recording": len(per_camera), "frames_recorded": recorded, "frames_read": read, "drops": drops,
                "dropped": sum(drops.values())}

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        try:
            self.process.wait(60)
        except subprocess.TimeoutExpired:
            self.process.kill()
            fail("the core did not stop within 60 s")
        self.parent.close()
        self.reader.join(5)
        if self.process.returncode != 0:
            fail("the core exited with %d: %s" % (self.process.returncode, self.console_text()))


# What every ffmpeg process does with its input: 10 s files of fragmented MP4, as the recorder's.
SEGMENT_ARGS = ["-f", "segment", "-segment_time", "10", "-segment_format", "mp4", "-segment_format_options",
                "movflags=frag_keyframe+empty_moov+default_base_moof"]


def ffmpeg_args(clip, out, seconds=None, progress=None):
    """The looped clip read as fast as it can be; progress: a file for ffmpeg's reports of what it
    has written, four a second."""
    args = ["ffmpeg", "-nostdin", "-v", "error", "-stream_loop", "-1", "-i", clip]
    args += [] if seconds is None else ["-t", str(seconds)]
    args += [] if progress is None else ["-progress", progress, "-stats_period", "0.25"]
    return args + ["-c", "copy"] + SEGMENT_ARGS + [os.path.join(out, "%05d.mp4")]


def start_ffmpegs(clip, work, seconds=None, progress=False):
    processes = []
    for n in range(CAMERAS):
        out = os.path.join(work, "recordings", "cam%02d" % n)
        os.makedirs(out)
        report = os.path.join(work, "progress%02d.txt" % n) if progress else None
        processes.append(subprocess.Popen(ffmpeg_args(clip, out, seconds, report), stdin=subprocess.DEVNULL,
                                          stderr=open(os.path.join(work, "ffmpeg%02d.log" % n), "wb")))
    return processes


def check_decodes(folder, count, expected=CAMERAS, joined=False, peer=False):
    """count recorded files, spread over the cameras, must decode without a single error (joined: see
    media_figures.decode_sample). peer: the ffmpeg tool's files, whose errors are reported, not fatal
    (its -stream_loop repeats decode times where the clip loops)."""
    files = sorted(os.path.join(root, name) for root, _, names in os.walk(folder)
                   for name in names if name.endswith(".mp4"))
    cameras = sorted({os.path.relpath(f, folder).split(os.sep)[0] for f in files})
    if len(cameras) != expected:
        fail("%s: files of %d cameras, not %d" % (folder, len(cameras), expected))
    by_camera = {camera: [] for camera in cameras}
    for path in files:
        by_camera[os.path.relpath(path, folder).split(os.sep)[0]].append(path)
    sample = media_figures.decode_sample(by_camera, count, joined, os.path.getsize)
    errors = []
    for path in sample:
        out = subprocess.run(["ffmpeg", "-v", "error", "-i", path, "-f", "null", "-"], capture_output=True, text=True)
        if out.returncode != 0 or out.stderr.strip():
            if not peer:
                fail("%s does not decode: %s" % (path, out.stderr.strip()[-500:]))
            errors.append("%s: %s" % (os.path.relpath(path, folder), out.stderr.strip().splitlines()[0][:200]))
    checked = {"files": len(files), "decoded": len(sample), "mib": round(sum(map(os.path.getsize, files)) / MIB, 1)}
    if errors:
        checked["decode_errors"] = errors
    return checked


def throttle_lines(work):
    """The core's log lines of memory throttling (LogPI writes dvrcore.log in the working folder)."""
    try:
        with open(os.path.join(work, "dvrcore.log"), errors="replace") as log:
            return [line.strip() for line in log if "refusing gated frames" in line or "throttling video" in line]
    except OSError:
        return []


def stop_sides(peers, core):
    """ffmpeg closes its files on SIGINT; the core stops on SIGTERM (and fails the run if it exits
    with an error). Either may be gone or never started."""
    for peer in peers:
        if peer.poll() is None:
            peer.send_signal(signal.SIGINT)
    for peer in peers:
        wait_or_kill(peer, 30)  # a second SIGINT would not let it finish its file
    if core is not None:
        core.stop()


class FastSides:
    """16 file cameras of the core (pace="0") and 16 ffmpeg processes (without -re) on the looped
    clip, started together and left running: each side is measured over the same window, so both
    share the machine for all of it, and each pays for the write-back of what it wrote then."""

    def __init__(self, build, scratch, clip):
        self.work, self.peer_work = os.path.join(scratch, "dvrcore-fast"), os.path.join(scratch, "ffmpeg-fast")
        self.core, self.peers = None, []
        try:
            self.core = Core(build, self.work, [("cam%02d" % n, "file:" + clip, ' pace="0"') for n in range(CAMERAS)])
            os.makedirs(self.peer_work)
            self.peers = start_ffmpegs(clip, self.peer_work, progress=True)
        except BaseException:
            self.close()
            raise

    def peer_frames(self):
        """Each ffmpeg's video frames written so far, from its progress reports."""
        frames = []
        for n in range(CAMERAS):
            try:
                with open(os.path.join(self.peer_work, "progress%02d.txt" % n)) as report:
                    frames.append(media_figures.progress_frames(report.read()))
            except FileNotFoundError:
                frames.append(0)
        return frames

    def snapshot(self):
        figures = self.core.figures()
        for n, peer in enumerate(self.peers):
            if peer.poll() is not None:
                fail("ffmpeg of cam%02d exited with %d" % (n, peer.returncode))
        return {"time": time.monotonic(), "core": figures,
                "core_cpu": media_figures.process_cpu_seconds(self.core.process.pid), "peer_frames": sum(self.peer_frames()),
                "peer_cpu": sum(media_figures.process_cpu_seconds(peer.pid) for peer in self.peers)}

    def wait_flowing(self):
        """Until every camera of the core and every ffmpeg has written video."""
        deadline = time.monotonic() + FLOW_TIMEOUT
        while True:
            core = self.snapshot()["core"]
            if core["cameras_recording"] == CAMERAS and core["fewest_video_frames"] > 0 and min(self.peer_frames()) > 0:
                return
            if time.monotonic() > deadline:
                fail("fast: no frames flowing after %d s" % FLOW_TIMEOUT)
            time.sleep(0.25)

    def measure(self, warmup, window):
        """Both sides' figures over window seconds, after warmup seconds of both flowing."""
        self.wait_flowing()
        time.sleep(warmup)
        before = self.snapshot()
        progress, progress_at, stalled = before["core"]["video_frames"], before["time"], False
        while time.monotonic() < before["time"] + window:
            time.sleep(0.25)
            frames = self.core.figures()["video_frames"]
            if frames != progress:
                progress, progress_at = frames, time.monotonic()
            elif time.monotonic() - progress_at > STALL_SECONDS:
                stalled = True
                break
        after = self.snapshot()
        peaks = [memory(pid).get("VmHWM", 0) for pid in [self.core.process.pid] + [peer.pid for peer in self.peers]]
        wall = after["time"] - before["time"]
        core_recorded = (after["core"]["video_frames"] - before["core"]["video_frames"]) / FPS
        peer_recorded = (after["peer_frames"] - before["peer_frames"]) / FPS
        core_cpu, peer_cpu = after["core_cpu"] - before["core_cpu"], after["peer_cpu"] - before["peer_cpu"]
        self.close()
        figures = after["core"]
        throttled = throttle_lines(self.work)
        if stalled:
            print("media bench: STALLED: dvrcore recorded nothing for %d s; the core's memory throttling: %s" % (
                STALL_SECONDS, throttled[-1] if throttled else "none"), flush=True)
        core = dict(media_figures.import_figures(core_cpu, core_recorded, wall, peaks[0]),
                    dropped=figures["dropped"], drops=figures["drops"], stalled=stalled,
                    # Of the frames the source read from the clip, those the recorder wrote: the
                    # rest were dropped or were still on their way to the disk when asked.
                    frames_read=figures["frames_read"], frames_recorded=figures["frames_recorded"],
                    throttle_lines=throttled[:4], files=check_decodes(os.path.join(self.work, "recordings"), 4))
        peer = dict(media_figures.import_figures(peer_cpu, peer_recorded, wall, sum(peaks[1:])),
                    files=check_decodes(os.path.join(self.peer_work, "recordings"), 1, peer=True))
        return {"dvrcore_fast": core, "ffmpeg_fast": peer}

    def close(self):
        core, self.core = self.core, None
        stop_sides(self.peers, core)


def fast_alone(build, scratch, clip, warmup, window):
    """The core's import with nothing beside it, a diagnostic of where its time goes (not a
    comparison: the machine's load is not shared with a peer): camera-seconds a second, CPU seconds
    per camera-hour, the bytes it wrote against its files' growth, and its threads' states sampled
    every 50 ms (runnable, waiting for the disk, sleeping)."""
    work = os.path.join(scratch, "dvrcore-alone")
    core = Core(build, work, [("cam%02d" % n, "file:" + clip, ' pace="0"') for n in range(CAMERAS)])
    try:
        deadline = time.monotonic() + FLOW_TIMEOUT
        while core.figures()["fewest_video_frames"] == 0:
            if time.monotonic() > deadline:
                fail("fast, alone: no frames flowing after %d s" % FLOW_TIMEOUT)
            time.sleep(0.25)
        time.sleep(warmup)
        pid, recordings = core.process.pid, os.path.join(work, "recordings")

        def snapshot():
            return (time.monotonic(), core.figures()["video_frames"], media_figures.process_cpu_seconds(pid),
                    media_figures.io_counters(pid)["wchar"], folder_bytes(recordings))

        before, samples, states = snapshot(), 0, {}
        while time.monotonic() < before[0] + window:
            for state, count in media_figures.thread_states(pid).items():
                states[state] = states.get(state, 0) + count
            samples += 1
            time.sleep(0.05)
        after, peak = snapshot(), memory(pid).get("VmHWM", 0)
    finally:
        core.stop()
    figures = media_figures.import_figures(after[2] - before[2], (after[1] - before[1]) / FPS, after[0] - before[0],
                                           peak)
    figures.update(written_mb=round((after[3] - before[3]) / 1e6, 1),
                   files_grew_mb=round((after[4] - before[4]) / 1e6, 1),
                   threads={state: round(count / max(samples, 1), 1) for state, count in sorted(states.items())})
    return figures


# ---- real time: the RTSP server's mounts recorded by both sides at once --------------------------

# The clip each mount sends: (size, video bit rate, the audio's ffmpeg options, container, what the
# server's pipeline payloads, how the ffmpeg side copies the audio). MP4 takes no G.711: that side
# makes AAC of it, as the recorder does.
PROFILES = {
    "1080p-aac": {"size": "1920x1080", "bitrate": "4M", "container": "mp4", "server_audio": "aac",
                  "audio": ["-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000"],
                  "audio_codec": ["-c:a", "aac", "-b:a", "64k"], "peer_audio": ["-c:a", "copy"],
                  "label": "1080p25 H.264 4 Mbit/s (key frame every 2 s, no B-frames) + AAC 48 kHz"},
    "720p-g711": {"size": "1280x720", "bitrate": "2M", "container": "mov", "server_audio": "alaw",
                  "audio": ["-f", "lavfi", "-i", "sine=frequency=440:sample_rate=8000"],
                  "audio_codec": ["-c:a", "pcm_alaw", "-ac", "1"], "peer_audio": ["-c:a", "aac"],
                  "label": "720p25 H.264 2 Mbit/s (key frame every 2 s, no B-frames) + G.711 A-law 8 kHz"},
}
SERVER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "bench_rtsp_server.py")
# GStreamer's Python bindings are Debian's: the system interpreter, whatever python3 runs this.
SYSTEM_PYTHON = "/usr/bin/python3"
STRACE_SECONDS = 15
FLOW_TIMEOUT = 60


def make_rtsp_clip(folder, name, seconds):
    """A clip of the profile at least this long: 10 s encoded once, then copied over and over (no
    second encoding); both kept in folder."""
    profile = PROFILES[name]
    clip = os.path.join(folder, "rtsp-%s-%ds.%s" % (name, seconds, profile["container"]))
    if os.path.exists(clip):
        return clip
    base = os.path.join(folder, "rtsp-%s-10s.%s" % (name, profile["container"]))
    if not os.path.exists(base):
        print("media bench: making %s with the ffmpeg tool (once)" % base, flush=True)
        part = base + ".part." + profile["container"]
        picture = "testsrc2=size=%s:rate=25" % profile["size"]
        video = ["-vf", "noise=alls=12:allf=t", "-c:v", "libx264", "-preset", "veryfast", "-b:v", profile["bitrate"],
                 "-maxrate", profile["bitrate"], "-bufsize", "2M", "-g", "50", "-bf", "0", "-pix_fmt", "yuv420p"]
        subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", picture] + profile["audio"] + ["-t", "10"]
                       + video + profile["audio_codec"] + [part], check=True)
        os.rename(part, base)
    part = clip + ".part." + profile["container"]
    subprocess.run(["ffmpeg", "-v", "error", "-y", "-stream_loop", "-1", "-i", base, "-t", str(seconds), "-c", "copy",
                    part], check=True)
    os.rename(part, clip)
    return clip


def wait_or_kill(process, seconds):
    try:
        process.wait(seconds)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait(5)


def stop_process(process, sig, seconds):
    """Signal, then kill what is still there after the given time."""
    if process.poll() is None:
        process.send_signal(sig)
    wait_or_kill(process, seconds)


def video_times(path):
    """The timestamps in seconds of a recorded file's video packets, in file order."""
    out = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries", "packet=pts_time",
                          "-of", "csv=p=0", path], capture_output=True, text=True, timeout=120)
    return [float(line.strip(",")) for line in out.stdout.split() if line.strip(",") not in ("", "N/A")]


def recorded_fps(folder):
    """Video frames a second each camera's files hold: the frame intervals over the time they span.
    An interval over twice the median is left out: the first frame of a client that joins a running
    mount lands at 0 whatever its distance to the second."""
    rates = {}
    for camera in sorted(os.listdir(folder)):
        intervals = []
        for root, _, names in os.walk(os.path.join(folder, camera)):
            for name in names:
                if name.endswith(".mp4"):
                    times = sorted(video_times(os.path.join(root, name)))
                    intervals += [later - earlier for earlier, later in zip(times, times[1:])]
        rates[camera] = media_figures.frame_rate(intervals)
    return rates


class SideBySide:
    """The server with N mounts, the core with N RTSP cameras and N ffmpeg processes, all on the same
    mounts at once. close() ends them all, whatever state they are in."""

    def __init__(self, build, work, name, clip, cameras):
        self.server, self.core, self.peers = None, None, []
        self.cameras, self.peer_work = cameras, os.path.join(work, "ffmpeg")
        try:
            self.start(build, work, name, clip)
        except BaseException:
            self.close()
            raise

    def start(self, build, work, name, clip):
        os.makedirs(self.peer_work)
        # GStreamer's warnings go to a file: a pipe nobody reads would stop the server once full.
        self.server = subprocess.Popen([SYSTEM_PYTHON, SERVER, "--clip", clip, "--mounts", str(self.cameras),
                                        "--audio", PROFILES[name]["server_audio"]], stdout=subprocess.PIPE,
                                       stderr=open(os.path.join(work, "server.log"), "wb"), stdin=subprocess.DEVNULL,
                                       text=True)
        ready = select.select([self.server.stdout], [], [], 20)[0]
        line = self.server.stdout.readline() if ready else ""
        if not line.startswith("ready "):
            fail("the RTSP server did not start: %r" % line)
        urls = ["rtsp://127.0.0.1:%d/cam%d" % (int(line.split()[1]), k) for k in range(self.cameras)]
        self.core = Core(build, os.path.join(work, "dvrcore"), [("cam%02d" % k, url, "") for k, url in enumerate(urls)])
        for k, url in enumerate(urls):
            out = os.path.join(self.peer_work, "recordings", "cam%02d" % k)
            os.makedirs(out)
            args = ["ffmpeg", "-nostdin", "-v", "error", "-rtsp_transport", "tcp", "-i", url, "-c:v", "copy"]
            args += PROFILES[name]["peer_audio"] + SEGMENT_ARGS + [os.path.join(out, "%05d.mp4")]
            self.peers.append(subprocess.Popen(args, stdin=subprocess.DEVNULL,
                                               stderr=open(os.path.join(self.peer_work, "ffmpeg%02d.log" % k), "wb")))

    def wait_flowing(self):
        """Until every camera of the core has recorded video and every ffmpeg has written a fragment."""
        deadline = time.monotonic() + FLOW_TIMEOUT
        while True:
            videos = [int(v) for v in re.findall(r"(\d+) video and \d+ audio frames",
                                                  self.core.ask(RECORDER_TARGET, b"recorder:"))]
            written = [folder_bytes(os.path.join(self.peer_work, "recordings", "cam%02d" % k))
                       for k in range(self.cameras)]
            if len(videos) == self.cameras and min(videos) > 0 and min(written) > 65536:
                return
            for k, peer in enumerate(self.peers):
                if peer.poll() is not None:
                    fail("ffmpeg of cam%02d exited with %d" % (k, peer.returncode))
            if time.monotonic() > deadline:
                fail("no frames flowing after %d s: dvrcore %s, ffmpeg bytes %s" % (FLOW_TIMEOUT, videos, written))
            time.sleep(0.5)

    def close(self):
        """The server last, so that no side sees its stream end first."""
        core, self.core = self.core, None
        try:
            stop_sides(self.peers, core)
        finally:
            if self.server is not None:
                stop_process(self.server, signal.SIGTERM, 10)


def folder_bytes(folder):
    """The bytes of the files under folder now; one replaced or deleted meanwhile counts nothing."""
    total = 0
    for root, _, names in os.walk(folder):
        for name in names:
            try:
                total += os.path.getsize(os.path.join(root, name))
            except FileNotFoundError:
                pass
    return total


def realtime_row(build, scratch, name, clip, cameras, seconds, warmup):
    """Both sides on the same N mounts: after the frames flow and a warm-up, each side's counters
    over the window, its memory sampled every second, and its files decoded."""
    work = os.path.join(scratch, "realtime-%s-%d" % (name, cameras))
    run = SideBySide(build, work, name, clip, cameras)
    try:
        run.wait_flowing()
        time.sleep(warmup)
        sides = {"dvrcore": [run.core.process.pid], "ffmpeg": [p.pid for p in run.peers]}
        samplers = {side: Sampler() for side in sides}
        first = run.core.figures()
        before = {side: media_figures.counters(pids) for side, pids in sides.items()}
        server_before = sum(media_figures.cpu_split(run.server.pid))
        began = time.monotonic()
        while time.monotonic() - began < seconds:
            time.sleep(1.0)
            for side, pids in sides.items():
                samplers[side].sample(pids)
        after = {side: media_figures.counters(pids) for side, pids in sides.items()}
        wall = time.monotonic() - began
        server_cpu = sum(media_figures.cpu_split(run.server.pid)) - server_before
        last = run.core.figures()
        peaks = {side: sum(memory(pid).get("VmHWM", 0) for pid in pids) for side, pids in sides.items()}
    finally:
        run.close()
    # The core counts its recorded frames itself; ffmpeg's are its files' frame rate times the window.
    rates = recorded_fps(os.path.join(run.peer_work, "recordings"))
    frames = {"dvrcore": last["video_frames"] - first["video_frames"], "ffmpeg": round(sum(rates.values()) * wall)}
    row = {"cameras": cameras, "wall_s": round(wall, 2), "server_cpu_percent": round(server_cpu / wall * 100, 1)}
    for side in sides:
        figures = media_figures.side_figures(before[side], after[side], wall, cameras, frames[side])
        rss, pss = samplers[side].steady()
        figures.update(peak_rss_mib=round(peaks[side] / MIB, 1), steady_rss_mib=round(rss / MIB, 1),
                       steady_pss_mib=round(pss / MIB, 1))
        row[side] = figures
    # A camera joining a running mount drops what comes before its first key frame: not in the window.
    row["dvrcore"].update(dropped=last["dropped"] - first["dropped"], dropped_before_window=first["dropped"],
                          drops=last["drops"], throttle_lines=throttle_lines(
        os.path.join(work, "dvrcore"))[:4], files=check_decodes(os.path.join(work, "dvrcore", "recordings"),
                                                               min(4, cameras), cameras, joined=True))
    row["ffmpeg"].update(slowest_camera_fps=round(min(rates.values()), 2),
                         files=check_decodes(os.path.join(run.peer_work, "recordings"), min(4, cameras), cameras,
                                             joined=True))
    row["ratio"] = media_figures.ratios(row["dvrcore"], row["ffmpeg"])
    shutil.rmtree(work, ignore_errors=True)
    return row


def start_strace(pid, out):
    """`strace -c -f` attached to a running process and its threads; it writes its table to out when
    it gets SIGINT."""
    return subprocess.Popen(["strace", "-c", "-f", "-o", out, "-p", str(pid)], stdin=subprocess.DEVNULL,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def strace_run(build, scratch, name, clip, cameras, warmup):
    """The core and one ffmpeg under `strace -c -f` together for STRACE_SECONDS, once the frames flow:
    the system calls each makes most, per video frame (the core's frames counted by the recorder,
    ffmpeg's taken as 25 a second: an estimate)."""
    if shutil.which("strace") is None:
        fail("strace is not installed (make deps-bench installs it)")
    work = os.path.join(scratch, "strace-%s-%d" % (name, cameras))
    run = SideBySide(build, work, name, clip, cameras)
    try:
        run.wait_flowing()
        time.sleep(warmup)
        outputs = {side: os.path.join(work, side + ".strace") for side in ("dvrcore", "ffmpeg")}
        first = run.core.figures()
        tracers = [start_strace(run.core.process.pid, outputs["dvrcore"]),
                   start_strace(run.peers[0].pid, outputs["ffmpeg"])]
        time.sleep(STRACE_SECONDS)
        for tracer in tracers:
            stop_process(tracer, signal.SIGINT, 30)  # strace prints its table as it detaches
        last = run.core.figures()
    finally:
        run.close()
    frames = {"dvrcore": last["video_frames"] - first["video_frames"], "ffmpeg": FPS * STRACE_SECONDS}
    result = {"cameras": cameras, "profile": name, "seconds": STRACE_SECONDS, "frames": frames,
              "ffmpeg_frames": "estimate: 25 frames a second of one camera"}
    for side, path in outputs.items():
        with open(path, errors="replace") as table:
            rows = media_figures.parse_strace_summary(table.read())
        result[side] = media_figures.top_per_frame(rows, frames[side])
        result[side + "_calls_per_frame"] = round(sum(rows.values()) / frames[side], 2) if frames[side] else None
    shutil.rmtree(work, ignore_errors=True)
    return result


def main():
    parser = argparse.ArgumentParser(prog="media_bench.py")
    parser.add_argument("build")
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--cameras", type=media_figures.parse_cameras)
    parser.add_argument("--profile", default=",".join(PROFILES))
    parser.add_argument("--window", type=int)
    parser.add_argument("--strace", type=int, nargs="?", const=8, metavar="CAMERAS")
    runs = parser.add_mutually_exclusive_group()
    runs.add_argument("--no-fast", action="store_true")
    runs.add_argument("--fast-only", action="store_true")
    parser.add_argument("--alone", action="store_true")
    options = parser.parse_args()
    if options.alone and options.no_fast:
        fail("--alone comes after the fast run: not with --no-fast")
    profiles = options.profile.split(",")
    for name in profiles:
        if name not in PROFILES:
            fail("no profile %s (there are %s)" % (name, ", ".join(PROFILES)))
    build = os.path.abspath(options.build)
    for plugin in ("LogPI", "MediaSource", "SegmentRecorder"):
        if not os.path.exists(os.path.join(build, "plugins", plugin + ".so")):
            fail("%s/plugins/%s.so was not built (FFmpeg's libraries missing?)" % (build, plugin))
    # The fast run's window starts once both sides' 16 cameras have started and warmed up.
    seconds, warmup = (20, 3) if options.quick else (60, 5)
    fast_warmup, fast_window = (5, 15) if options.quick else (8, 30)
    seconds = options.window or seconds
    cameras = options.cameras or ([1, 4] if options.quick else [1, 4, 8, 16])
    folder = os.path.join(build, "bench", "media")
    os.makedirs(folder, exist_ok=True)
    # Long enough for the start, the warm-up and the window (or the strace run) of any count.
    clip_seconds = max(180, seconds + warmup + 60)
    clips = {name: make_rtsp_clip(folder, name, clip_seconds) for name in profiles}
    scratch = os.path.join(folder, "scratch")
    shutil.rmtree(scratch, ignore_errors=True)
    results = {"realtime_window_s": seconds, "warmup_s": warmup,
               "profiles": {name: PROFILES[name]["label"] for name in profiles},
               "ffmpeg_frames": "its files' frame rate (video packets over the time they span, ffprobe), "
                                "times the window",
               "load_average_before": os.getloadavg(), "realtime": {}}
    path = os.path.join(build, "bench", "media_results.json")
    try:
        for name in [] if options.fast_only else profiles:
            rows = results["realtime"][name] = []
            for count in cameras:
                print("media bench: real time, %s, %d cameras" % (name, count), flush=True)
                rows.append(realtime_row(build, scratch, name, clips[name], count, seconds, warmup))
                save(path, results)  # what was measured so far, should a later run fail
        if options.strace:
            print("media bench: strace, %s, %d cameras" % (profiles[0], options.strace), flush=True)
            results["strace"] = strace_run(build, scratch, profiles[0], clips[profiles[0]], options.strace, warmup)
        if not options.no_fast:
            clip, clip_mbps = make_clip(folder)
            results.update(cameras=CAMERAS, fast_warmup_s=fast_warmup, fast_window_s=fast_window,
                           clip="1080p25 H.264 (libx264, -g 50) + AAC, 10 s, %.2f Mbit/s" % clip_mbps)
            print("media bench: fast, both sides at once", flush=True)
            sides = FastSides(build, scratch, clip)
            try:
                results.update(sides.measure(fast_warmup, fast_window))
            finally:
                sides.close()
            results["throughput_ratio_fast"] = round(results["dvrcore_fast"]["camera_s_per_wall_s"] /
                                                     results["ffmpeg_fast"]["camera_s_per_wall_s"], 3)
            results["cpu_ratio_fast"] = round(results["dvrcore_fast"]["cpu_s_per_camera_hour"] /
                                              results["ffmpeg_fast"]["cpu_s_per_camera_hour"], 3)
            if options.alone:
                print("media bench: fast, the core alone", flush=True)
                results["dvrcore_fast_alone"] = fast_alone(build, scratch, clip, fast_warmup, fast_window)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    results["load_average_after"] = os.getloadavg()
    results["complete"] = True
    save(path, results)
    print_table(results)


def save(path, results):
    with open(path + ".part", "w") as out:
        json.dump(dict(results, complete=results.get("complete", False)), out, indent=2)
    os.replace(path + ".part", path)


def figure(value, width, digits):
    return ("%*.*f" % (width, digits, value)) if isinstance(value, (int, float)) else "%*s" % (width, "-")


def print_table(r):
    groups = (("CPU s/cam-h", "cpu_s_per_camera_hour", "cpu", 1), ("user s/cam-h", "user_s_per_camera_hour", "user", 1),
              ("sys s/cam-h", "sys_s_per_camera_hour", "sys", 1),
              ("syscalls/frame", "syscalls_per_frame", "syscalls_per_frame", 1),
              ("ctx sw/frame", "context_switches_per_frame", "context_switches_per_frame", 2),
              ("peak RSS MiB", "peak_rss_mib", "peak_rss", 1), ("steady RSS MiB", "steady_rss_mib", "steady_rss", 1))
    for name, rows in r["realtime"].items():
        print("\nmedia benchmark, real time, both sides at once: %s, window %d s" % (r["profiles"][name],
                                                                                  r["realtime_window_s"]))
        print("%4s " % "" + " ".join("%-22s" % label for label, _, _, _ in groups) + "  %-11s %7s %6s" % (
            "fps/camera", "dropped", "server"))
        print("%4s " % "cams" + " ".join("%7s %7s %6s" % ("dvrcore", "ffmpeg", "ratio") for _ in groups) +
              "  %5s %5s %7s %6s" % ("core", "ffm", "", "CPU %"))
        for row in rows:
            core, peer = row["dvrcore"], row["ffmpeg"]
            cells = [figure(core[key], 7, digits) + " " + figure(peer[key], 7, digits) + " " +
                     figure(row["ratio"][ratio], 6, 2) for _, key, ratio, digits in groups]
            print("%4d " % row["cameras"] + " ".join(cells) + "  %5.1f %5.1f %7d %6.1f" % (
                core["fps_per_camera"], peer["fps_per_camera"], core["dropped"], row["server_cpu_percent"]))
            for side, fps in (("dvrcore", core["fps_per_camera"]), ("ffmpeg", peer["fps_per_camera"])):
                if fps < FPS - 1:
                    print("     %s got %.1f frames a second a camera, not %d: a side or the server fell behind"
                          % (side, fps, FPS))
    if r["realtime"]:
        print("dropped: the core's frames dropped in the window; syscalls: read + write (/proc/PID/io); frames: video "
              "frames, the core's counted by its recorder, ffmpeg's %s" % r["ffmpeg_frames"])
    trace = r.get("strace")
    if trace:
        print("\nstrace -c -f for %d s, %s, %d cameras: system calls per video frame (the core: all its cameras; "
              "ffmpeg: one camera, frames %s)" % (trace["seconds"], trace["profile"], trace["cameras"],
                                                  trace["ffmpeg_frames"]))
        for side in ("dvrcore", "ffmpeg"):
            print("  %-8s %s calls/frame in all: %s" % (side, trace[side + "_calls_per_frame"], ", ".join(
                "%s %s" % (call, per) for call, per in trace[side])))
    if "dvrcore_fast" in r:
        fast, peer_fast = r["dvrcore_fast"], r["ffmpeg_fast"]
        print("\nmedia benchmark, fast (import), both sides at once over %d s after %d s: %d file cameras, %s" % (
            r["fast_window_s"], r["fast_warmup_s"], r["cameras"], r["clip"]))
        print("%-44s %14s %14s %8s" % ("figure", "dvrcore", "16 x ffmpeg", "ratio"))
        print("%-44s %14.1f %14.1f %7.2fx" % ("fast: CPU s per camera-hour", fast["cpu_s_per_camera_hour"],
                                             peer_fast["cpu_s_per_camera_hour"], r["cpu_ratio_fast"]))
        print("%-44s %14.1f %14.1f %7.2fx  (goal >= 1.0x)" % (
            "fast: camera-seconds recorded per wall second", fast["camera_s_per_wall_s"],
            peer_fast["camera_s_per_wall_s"], r["throughput_ratio_fast"]))
        print("%-44s %14s  (goal: every frame; the rest on its way)" % (
            "fast: frames recorded of frames read", "%d / %d" % (fast["frames_recorded"], fast["frames_read"])))
        print("%-44s %14.1f %14.1f" % ("fast: peak resident MiB", fast["peak_rss_mib"], peer_fast["peak_rss_mib"]))
        print("%-44s %14d%s" % ("fast: frames dropped, every cause", fast["dropped"],
                                "  STALLED: nothing recorded for %d s" % STALL_SECONDS if fast["stalled"] else ""))
        for error in peer_fast["files"].get("decode_errors", []):
            print("fast: an ffmpeg file that does not decode cleanly: %s" % error)
    alone = r.get("dvrcore_fast_alone")
    if alone:
        print("\nfast, the core alone (a diagnostic, no peer beside it) over %d s: %.1f camera-seconds a second, "
              "%.1f CPU s per camera-hour, peak resident %.1f MiB; %.1f MB written, its files grew %.1f MB; threads on "
              "average: %s" % (
                  alone["wall_s"], alone["camera_s_per_wall_s"], alone["cpu_s_per_camera_hour"], alone["peak_rss_mib"],
                  alone["written_mb"], alone["files_grew_mb"],
                  ", ".join("%s %s" % (state, count) for state, count in alone["threads"].items())))
    print("load average before %s, after %s (a shared machine: the figures are indicative)" % (
        " ".join("%.1f" % x for x in r["load_average_before"]), " ".join("%.1f" % x for x in r["load_average_after"])))


if __name__ == "__main__":
    main()
