#!/usr/bin/env python3
"""The web benchmark: what live viewers cost. The core records 16 RTSP cameras of 1080p25 with AAC
(MediaSource, SegmentRecorder) with the web view loaded on loopback; over one window without a
viewer and then one window with VIEWERS live viewers of each camera (bench_web_viewers, one process
on one thread), it measures the core's CPU and resident memory.

    web_bench.py BUILD_DIR [--quick] [--cameras N] [--viewers N] [--window SECONDS]

Printed and saved to BUILD_DIR/bench/web_results.json:
  - CPU per viewer-camera: the core's CPU seconds per hour added by the viewers, over viewers x
    cameras, and as a ratio to the recording's CPU per camera (the window without viewers, over the
    cameras). The goal: a viewer-camera costs less than the recording of that camera (ratio < 1).
  - memory per viewer: the core's resident memory added by the viewers, over viewers x cameras.
  - latency from a frame's capture time to its fragment read from the viewer's socket, p50 and p99.
  - the recorder's drops in the viewers' window: must stay 0.
"""
import argparse
import json
import os
import select
import shutil
import signal
import subprocess
import sys
import time

import media_bench
import media_figures
from media_bench import MIB, fail

def free_port():
    import socket
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def start_server(work, clip, cameras):
    server = subprocess.Popen([media_bench.SYSTEM_PYTHON, media_bench.SERVER, "--clip", clip, "--mounts", str(cameras),
                               "--audio", "aac"], stdout=subprocess.PIPE, stdin=subprocess.DEVNULL, text=True,
                              stderr=open(os.path.join(work, "server.log"), "wb"))
    ready = select.select([server.stdout], [], [], 20)[0]
    line = server.stdout.readline() if ready else ""
    if not line.startswith("ready "):
        server.kill()
        fail("the RTSP server did not start: %r" % line)
    return server, int(line.split()[1])


def wait_recording(core, cameras):
    deadline = time.monotonic() + media_bench.FLOW_TIMEOUT
    while True:
        figures = core.figures()
        if figures["cameras_recording"] == cameras and figures["fewest_video_frames"] > 0:
            return
        if time.monotonic() > deadline:
            fail("no frames recorded of every camera after %d s: %s" % (media_bench.FLOW_TIMEOUT, figures))
        time.sleep(0.5)


def window(core, seconds, during=None):
    """The core's CPU seconds, mean resident memory (sampled every second) and drops over a window;
    during: a process that ends with the window, whose output is returned."""
    pid = core.process.pid
    first = core.figures()
    cpu0 = sum(media_figures.cpu_split(pid))
    began = time.monotonic()
    rss = []
    while time.monotonic() - began < seconds:
        time.sleep(1.0)
        rss.append(media_bench.memory(pid).get("VmRSS", 0))
    out = ""
    if during is not None:
        out, _ = during.communicate(timeout=60)
    wall = time.monotonic() - began
    cpu = sum(media_figures.cpu_split(pid)) - cpu0
    last = core.figures()
    return {"wall_s": round(wall, 2), "cpu_s": round(cpu, 2), "rss_mib": round(sum(rss) / len(rss) / MIB, 1),
            "video_frames": last["video_frames"] - first["video_frames"],
            "dropped": last["dropped"] - first["dropped"], "drops": last["drops"], "viewers_output": out}


def main():
    parser = argparse.ArgumentParser(prog="web_bench.py")
    parser.add_argument("build")
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--cameras", type=int)
    parser.add_argument("--viewers", type=int, default=4)
    parser.add_argument("--window", type=int)
    options = parser.parse_args()
    build = os.path.abspath(options.build)
    viewers_tool = os.path.join(build, "bench", "bench_web_viewers")
    for path in [os.path.join(build, "plugins", p + ".so") for p in ("MediaSource", "SegmentRecorder", "WebView")] + [
            viewers_tool]:
        if not os.path.exists(path):
            fail("%s was not built (FFmpeg's or the web view's libraries missing?)" % path)
    cameras = options.cameras or (4 if options.quick else 16)
    seconds = options.window or (20 if options.quick else 60)
    warmup = 5
    folder = os.path.join(build, "bench", "media")
    os.makedirs(folder, exist_ok=True)
    clip = media_bench.make_rtsp_clip(folder, "1080p-aac", max(180, 2 * seconds + warmup + 60))
    work = os.path.join(folder, "scratch-web")
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    load_before = os.getloadavg()
    server, core = None, None
    try:
        server, rtsp_port = start_server(work, clip, cameras)
        web_port = free_port()
        names = ["cam%02d" % k for k in range(cameras)]
        core = media_bench.Core(build, os.path.join(work, "dvrcore"),
                                [(name, "rtsp://127.0.0.1:%d/cam%d" % (rtsp_port, k), "") for k, name in enumerate(names)],
                                more_plugins=("WebView",),
                                configs={"web_view.xml": '<WebView address="127.0.0.1" port="%d"/>\n' % web_port})
        wait_recording(core, cameras)
        time.sleep(warmup)
        print("web bench: %d cameras, no viewer, %d s" % (cameras, seconds), flush=True)
        alone = window(core, seconds)
        print("web bench: %d cameras, %d viewers each, %d s" % (cameras, options.viewers, seconds), flush=True)
        # The viewers connect, wait for a key frame and settle before the window: they run for the
        # warm-up and the window, which begins once they have run the warm-up.
        viewers = subprocess.Popen([viewers_tool, str(web_port), str(seconds + warmup), str(options.viewers)] + names,
                                   stdout=subprocess.PIPE, stdin=subprocess.DEVNULL, text=True)
        time.sleep(warmup)
        watched = window(core, seconds, viewers)
    finally:
        if core is not None:
            core.stop()
        if server is not None:
            media_bench.stop_process(server, signal.SIGTERM, 10)
    try:
        seen = json.loads(watched.pop("viewers_output").strip().splitlines()[-1])
    except (ValueError, IndexError):
        fail("the viewers printed no figures")
    alone.pop("viewers_output")
    viewer_cameras = cameras * options.viewers
    recording_per_camera = alone["cpu_s"] / alone["wall_s"] * 3600 / cameras
    per_viewer = max(0.0, watched["cpu_s"] / watched["wall_s"] - alone["cpu_s"] / alone["wall_s"]) * 3600 / viewer_cameras
    results = {"cameras": cameras, "viewers_per_camera": options.viewers, "window_s": seconds,
               "alone": alone, "watched": watched, "viewers": seen,
               "recording_cpu_s_per_camera_hour": round(recording_per_camera, 1),
               "viewer_cpu_s_per_viewer_camera_hour": round(per_viewer, 1),
               "viewer_to_recording_cpu_ratio": round(per_viewer / recording_per_camera, 3),
               "memory_per_viewer_mib": round((watched["rss_mib"] - alone["rss_mib"]) / viewer_cameras, 2),
               "load_average_before": load_before, "load_average_after": os.getloadavg()}
    with open(os.path.join(build, "bench", "web_results.json"), "w") as out:
        json.dump(results, out, indent=1)
    shutil.rmtree(work, ignore_errors=True)
    print("\nweb benchmark: %d RTSP cameras of 1080p25 + AAC recorded, %d live viewers each, window %d s" %
          (cameras, options.viewers, seconds))
    print("%-52s %10.1f" % ("recording: core CPU s per camera-hour", recording_per_camera))
    print("%-52s %10.1f  (%.2fx the recording; goal < 1)" % ("a viewer-camera: core CPU s per hour", per_viewer,
                                                            results["viewer_to_recording_cpu_ratio"]))
    print("%-52s %10.2f" % ("memory per viewer-camera, MiB", results["memory_per_viewer_mib"]))
    print("%-52s %10.1f / %.1f" % ("capture to the viewer's socket, ms, p50 / p99", seen["delay_p50_ms"],
                                   seen["delay_p99_ms"]))
    print("%-52s %10d of %d" % ("viewers connected", seen["connected"], seen["viewers"]))
    print("%-52s %10d (fragments %d, skipped frames %d)" % ("recorder drops with viewers (goal 0)",
                                                            watched["dropped"], seen["fragments"],
                                                            seen["skipped_frames"]))
    print("load average before %.1f %.1f %.1f, after %.1f %.1f %.1f" % (tuple(load_before) + os.getloadavg()))
    if watched["dropped"] or seen["connected"] != seen["viewers"]:
        fail("viewers cost recorded frames or could not connect: %s" % seen.get("first_error"))


if __name__ == "__main__":
    sys.exit(main())
