#!/usr/bin/env python3
"""The media benchmark: 16 cameras of 1080p25 H.264 at 4 Mbit/s with AAC audio recorded by dvrcore
(LogPI, MediaSource, SegmentRecorder) and by 16 processes of the ffmpeg tool doing the same job.

    media_bench.py BUILD_DIR [--quick]

Two runs per side, one after the other on the same machine:
  real time  file cameras paced by their timestamps (ffmpeg -re) for a fixed time; CPU seconds per
             camera-hour over a window after a warm-up, peak (VmHWM) and steady (mean VmRSS over
             the window) resident memory, and every frame the plugins dropped
  fast       cameras read as fast as they can be (MediaSource pace="0", ffmpeg without -re) until
             each has recorded a fixed length of media (or dvrcore records nothing for 20 s: a
             stall, reported); CPU seconds per camera-hour and camera-seconds recorded per wall second
Both sides read the same clip, made once with the ffmpeg tool and kept in BUILD_DIR/bench/media/.
A sample of the recorded files must decode without an error. The figures go to
BUILD_DIR/bench/media_results.json.
"""
import json
import os
import pty
import re
import shutil
import signal
import socket
import struct
import subprocess
import sys
import threading
import time

CAMERAS = 16
FPS = 25
START_LINE = b"successfully started core version"
IPC_PARAMETERS = 7
MEDIA_SOURCE_TARGET = 0x0A2 << 20
RECORDER_TARGET = 0x0A3 << 20
TICK = os.sysconf("SC_CLK_TCK")
MIB = 1048576
STALL_SECONDS = 20


def fail(message):
    sys.stderr.write("media bench: %s\n" % message)
    sys.exit(1)


def cpu_seconds(pid):
    """utime + stime of a process (all its threads) from /proc."""
    with open("/proc/%d/stat" % pid) as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICK


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
    """dvrcore with exactly LogPI, MediaSource and SegmentRecorder in a fresh working folder."""

    def __init__(self, build, work, clip, paced):
        self.work = work
        os.makedirs(os.path.join(work, "bin", "plugins"))
        os.makedirs(os.path.join(work, "bin", "protected-plugins"))
        shutil.copy2(os.path.join(build, "dvrcore"), os.path.join(work, "bin"))
        for plugin in ("LogPI", "MediaSource", "SegmentRecorder"):
            shutil.copy2(os.path.join(build, "plugins", plugin + ".so"), os.path.join(work, "bin", "plugins"))
        with open(os.path.join(work, "media_source.xml"), "w") as config:
            config.write("<MediaSource>\n")
            for n in range(CAMERAS):
                config.write('  <Camera name="cam%02d" url="file:%s"%s/>\n' % (n, clip, "" if paced else ' pace="0"'))
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
        video = sum(int(v) for v in re.findall(r"(\d+) video and \d+ audio frames", recorder))
        recorded = sum(int(v) + int(a) for v, a in re.findall(r"(\d+) video and (\d+) audio frames", recorder))
        read = sum(int(r) for r in re.findall(r": read (\d+), sent", source))
        return {"video_frames": video, "frames_recorded": recorded, "frames_read": read, "drops": drops,
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


def ffmpeg_args(clip, out, paced, seconds):
    args = ["ffmpeg", "-nostdin", "-v", "error"] + (["-re"] if paced else [])
    args += ["-stream_loop", "-1", "-i", clip] + ([] if seconds is None else ["-t", str(seconds)])
    return args + ["-c", "copy", "-f", "segment", "-segment_time", "10", "-segment_format", "mp4",
                   "-segment_format_options", "movflags=frag_keyframe+empty_moov+default_base_moof",
                   os.path.join(out, "%05d.mp4")]


def start_ffmpegs(clip, work, paced, seconds=None):
    processes = []
    for n in range(CAMERAS):
        out = os.path.join(work, "recordings", "cam%02d" % n)
        os.makedirs(out)
        processes.append(subprocess.Popen(ffmpeg_args(clip, out, paced, seconds), stdin=subprocess.DEVNULL,
                                          stderr=open(os.path.join(work, "ffmpeg%02d.log" % n), "wb")))
    return processes


def realtime_window(pids, seconds, warmup):
    """CPU seconds of the processes over a window of the given length after a warm-up, and their
    summed resident memory sampled every second in it."""
    time.sleep(warmup)
    sampler = Sampler()
    before = sum(cpu_seconds(pid) for pid in pids)
    began = time.monotonic()
    while time.monotonic() - began < seconds:
        time.sleep(1.0)
        sampler.sample(pids)
    cpu = sum(cpu_seconds(pid) for pid in pids) - before
    wall = time.monotonic() - began
    peak = sum(memory(pid).get("VmHWM", 0) for pid in pids)
    rss, pss = sampler.steady()
    return {"cpu_s": round(cpu, 2), "wall_s": round(wall, 2),
            "cpu_s_per_camera_hour": round(cpu / (CAMERAS * wall) * 3600, 1),
            "peak_rss_mib": round(peak / MIB, 1), "steady_rss_mib": round(rss / MIB, 1),
            "steady_pss_mib": round(pss / MIB, 1)}


def check_decodes(folder, count):
    """count recorded files, spread over the cameras, must decode without a single error."""
    files = sorted(os.path.join(root, name) for root, _, names in os.walk(folder)
                   for name in names if name.endswith(".mp4"))
    cameras = sorted({os.path.relpath(f, folder).split(os.sep)[0] for f in files})
    if len(cameras) != CAMERAS:
        fail("%s: files of %d cameras, not %d" % (folder, len(cameras), CAMERAS))
    sample = []
    for i in range(count):
        camera = cameras[i * len(cameras) // count]
        own = [f for f in files if os.path.relpath(f, folder).split(os.sep)[0] == camera]
        sample.append(max(own, key=os.path.getsize))
    for path in sample:
        out = subprocess.run(["ffmpeg", "-v", "error", "-i", path, "-f", "null", "-"], capture_output=True, text=True)
        if out.returncode != 0 or out.stderr.strip():
            fail("%s does not decode: %s" % (path, out.stderr.strip()[-500:]))
    return {"files": len(files), "decoded": len(sample), "mib": round(sum(map(os.path.getsize, files)) / MIB, 1)}


def dvrcore_realtime(build, scratch, clip, seconds, warmup):
    work = os.path.join(scratch, "dvrcore-realtime")
    core = Core(build, work, clip, paced=True)
    row = realtime_window([core.process.pid], seconds, warmup)
    figures = core.figures()
    core.stop()
    row.update(figures, recorded_camera_s=round(figures["video_frames"] / FPS, 1))
    row["throttle_lines"] = throttle_lines(work)[:4]
    row["files"] = check_decodes(os.path.join(work, "recordings"), 4)
    return row


def ffmpeg_realtime(scratch, clip, seconds, warmup):
    work = os.path.join(scratch, "ffmpeg-realtime")
    processes = start_ffmpegs(clip, work, paced=True)
    row = realtime_window([p.pid for p in processes], seconds, warmup)
    for process in processes:
        process.send_signal(signal.SIGINT)  # ffmpeg closes its files on SIGINT
    for process in processes:
        process.wait(30)
    row["files"] = check_decodes(os.path.join(work, "recordings"), 4)
    return row


def throttle_lines(work):
    """The core's log lines of memory throttling (LogPI writes dvrcore.log in the working folder)."""
    try:
        with open(os.path.join(work, "dvrcore.log"), errors="replace") as log:
            return [line.strip() for line in log if "refusing gated frames" in line or "throttling video" in line]
    except OSError:
        return []


def dvrcore_fast(build, scratch, clip, media_seconds):
    """Until the recorder has written media_seconds of video per camera (asked four times a second),
    or has written nothing for STALL_SECONDS: then the run is reported as stalled."""
    work = os.path.join(scratch, "dvrcore-fast")
    core = Core(build, work, clip, paced=False)
    target = CAMERAS * media_seconds * FPS
    progress, progress_at = -1, time.monotonic()
    stalled = False
    while True:
        time.sleep(0.25)
        figures = core.figures()
        if figures["video_frames"] >= target:
            break
        if figures["video_frames"] != progress:
            progress, progress_at = figures["video_frames"], time.monotonic()
        elif time.monotonic() - progress_at > STALL_SECONDS:
            stalled = True
            break
    cpu = cpu_seconds(core.process.pid)
    wall = (progress_at if stalled else time.monotonic()) - core.started
    peak = memory(core.process.pid).get("VmHWM", 0)
    core.stop()
    recorded = figures["video_frames"] / FPS
    throttled = throttle_lines(work)
    if stalled:
        print("media bench: STALLED: dvrcore recorded nothing for %d s after %.1f camera-seconds; the core's "
              "memory throttling: %s" % (STALL_SECONDS, recorded, throttled[-1] if throttled else "none"), flush=True)
    # Stalled, the CPU spent after the last frame recorded counts too: it is what the run cost.
    return {"cpu_s": round(cpu, 2), "wall_s": round(wall, 2), "recorded_camera_s": round(recorded, 1),
            "cpu_s_per_camera_hour": round(cpu / max(recorded, 1) * 3600, 1),
            "camera_s_per_wall_s": round(recorded / wall, 1), "peak_rss_mib": round(peak / MIB, 1),
            "dropped": figures["dropped"], "drops": figures["drops"], "stalled": stalled,
            # Of the frames the source read from the clip, those the recorder wrote: the rest were
            # dropped or were still on their way to the disk when asked.
            "frames_read": figures["frames_read"], "frames_recorded": figures["frames_recorded"],
            "throttle_lines": throttled[:4], "files": check_decodes(os.path.join(work, "recordings"), 4)}


def ffmpeg_fast(scratch, clip, media_seconds):
    """16 processes each copying media_seconds of the looped clip; CPU and peak memory from wait4."""
    work = os.path.join(scratch, "ffmpeg-fast")
    began = time.monotonic()
    processes = start_ffmpegs(clip, work, paced=False, seconds=media_seconds)
    cpu, peak = 0.0, 0
    for process in processes:
        _, status, usage = os.wait4(process.pid, 0)
        process.returncode = os.waitstatus_to_exitcode(status)
        if process.returncode != 0:
            fail("ffmpeg exited with %d" % process.returncode)
        cpu += usage.ru_utime + usage.ru_stime
        peak += usage.ru_maxrss * 1024
    wall = time.monotonic() - began
    recorded = CAMERAS * media_seconds
    return {"cpu_s": round(cpu, 2), "wall_s": round(wall, 2), "recorded_camera_s": recorded,
            "cpu_s_per_camera_hour": round(cpu / recorded * 3600, 1),
            "camera_s_per_wall_s": round(recorded / wall, 1), "peak_rss_mib": round(peak / MIB, 1),
            "files": check_decodes(os.path.join(work, "recordings"), 1)}


def main():
    args = [a for a in sys.argv[1:] if not a.startswith("--")]
    if len(args) != 1:
        fail("usage: media_bench.py BUILD_DIR [--quick]")
    build = os.path.abspath(args[0])
    quick = "--quick" in sys.argv
    for plugin in ("LogPI", "MediaSource", "SegmentRecorder"):
        if not os.path.exists(os.path.join(build, "plugins", plugin + ".so")):
            fail("%s/plugins/%s.so was not built (FFmpeg's libraries missing?)" % (build, plugin))
    folder = os.path.join(build, "bench", "media")
    os.makedirs(folder, exist_ok=True)
    clip, clip_mbps = make_clip(folder)
    scratch = os.path.join(folder, "scratch")
    shutil.rmtree(scratch, ignore_errors=True)
    seconds, warmup, media_seconds = (20, 3, 30) if quick else (60, 5, 120)
    results = {"cameras": CAMERAS, "clip": "1080p25 H.264 (libx264, -g 50) + AAC, 10 s, %.2f Mbit/s" % clip_mbps,
               "realtime_window_s": seconds, "fast_media_s_per_camera": media_seconds,
               "load_average_before": os.getloadavg()}
    try:
        for name, run in (("dvrcore_realtime", lambda: dvrcore_realtime(build, scratch, clip, seconds, warmup)),
                          ("ffmpeg_realtime", lambda: ffmpeg_realtime(scratch, clip, seconds, warmup)),
                          ("dvrcore_fast", lambda: dvrcore_fast(build, scratch, clip, media_seconds)),
                          ("ffmpeg_fast", lambda: ffmpeg_fast(scratch, clip, media_seconds))):
            print("media bench: %s" % name, flush=True)
            results[name] = run()
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    core, peer = results["dvrcore_realtime"], results["ffmpeg_realtime"]
    results["cpu_ratio_realtime"] = round(core["cpu_s_per_camera_hour"] / peer["cpu_s_per_camera_hour"], 3)
    results["throughput_ratio_fast"] = round(results["dvrcore_fast"]["camera_s_per_wall_s"] /
                                             results["ffmpeg_fast"]["camera_s_per_wall_s"], 3)
    results["cpu_ratio_fast"] = round(results["dvrcore_fast"]["cpu_s_per_camera_hour"] /
                                      results["ffmpeg_fast"]["cpu_s_per_camera_hour"], 3)
    results["memory_ratio_steady"] = round(core["steady_rss_mib"] / peer["steady_rss_mib"], 3)
    results["memory_ratio_peak"] = round(core["peak_rss_mib"] / peer["peak_rss_mib"], 3)
    # One core gives 3600 CPU seconds an hour; each camera-hour recorded in real time costs this many.
    results["cameras_per_core"] = round(3600 / core["cpu_s_per_camera_hour"], 1)
    results["load_average_after"] = os.getloadavg()
    with open(os.path.join(build, "bench", "media_results.json"), "w") as out:
        json.dump(results, out, indent=2)
    print_table(results)


def print_table(r):
    core, peer = r["dvrcore_realtime"], r["ffmpeg_realtime"]
    fast, peer_fast = r["dvrcore_fast"], r["ffmpeg_fast"]
    print("\nmedia benchmark: %d cameras, %s" % (r["cameras"], r["clip"]))
    print("%-44s %14s %14s %8s" % ("figure", "dvrcore", "16 x ffmpeg", "ratio"))
    print("%-44s %14.1f %14.1f %7.2fx  (goal <= 1.0x)" % ("real time: CPU s per camera-hour", core["cpu_s_per_camera_hour"],
                                                        peer["cpu_s_per_camera_hour"], r["cpu_ratio_realtime"]))
    print("%-44s %14.1f %14.1f %7.2fx  (goal <= 0.5x)" % ("real time: steady resident MiB (VmRSS)", core["steady_rss_mib"],
                                                        peer["steady_rss_mib"], r["memory_ratio_steady"]))
    print("%-44s %14.1f %14.1f %7.2fx" % ("real time: peak resident MiB (VmHWM)", core["peak_rss_mib"],
                                         peer["peak_rss_mib"], r["memory_ratio_peak"]))
    print("%-44s %14.1f %14.1f" % ("real time: steady Pss MiB (shared pages split)", core["steady_pss_mib"],
                                   peer["steady_pss_mib"]))
    print("%-44s %14d %14s           (goal 0)" % ("real time: frames dropped, every cause", core["dropped"], "-"))
    print("%-44s %14.1f %14.1f %7.2fx" % ("fast: CPU s per camera-hour", fast["cpu_s_per_camera_hour"],
                                         peer_fast["cpu_s_per_camera_hour"], r["cpu_ratio_fast"]))
    print("%-44s %14.1f %14.1f %7.2fx  (goal >= 1.0x)" % ("fast: camera-seconds recorded per wall second",
                                                         fast["camera_s_per_wall_s"], peer_fast["camera_s_per_wall_s"],
                                                         r["throughput_ratio_fast"]))
    print("%-44s %14s  (goal: every frame; the rest on its way)" % (
        "fast: frames recorded of frames read", "%d / %d" % (fast["frames_recorded"], fast["frames_read"])))
    print("%-44s %14.1f %14.1f" % ("fast: peak resident MiB", fast["peak_rss_mib"], peer_fast["peak_rss_mib"]))
    print("%-44s %14d%s" % ("fast: frames dropped, every cause", fast["dropped"],
                            "  STALLED: nothing recorded for %d s" % STALL_SECONDS if fast["stalled"] else ""))
    print("%-44s %14.1f  (3600 / CPU s per camera-hour, real time)" % ("4 Mbit/s cameras per CPU core",
                                                                      r["cameras_per_core"]))
    print("load average before %s, after %s (a shared machine: the figures are indicative)" % (
        " ".join("%.1f" % x for x in r["load_average_before"]), " ".join("%.1f" % x for x in r["load_average_after"])))


if __name__ == "__main__":
    main()
