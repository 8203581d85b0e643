#!/usr/bin/env python3
"""Runs every benchmark of dvrcore against a release build and prints one table.

    run_bench.py BUILD_DIR [--quick]

Each figure comes from the real binary with real plugins in a fresh folder, set beside the program
it is compared with, measured in the same run on the same machine:
  throughput  the event bus, 1 and 4 producers x 1 and 4 subscribers, 0 B to 1 MiB, against the
              design baseline (bench_baseline) and GStreamer's queue (peers/gst-peer.sh)
  latency     EventCallback to Write, 4 KiB frames at 1,000 and 10,000 per second, log plugin loaded
  log         a line the gate drops (plugin and CoreLog), a line written and delivered
  start-up    exec to the start line with a prompt parent, SIGTERM to exit, 1/10/50 trivial plugins,
              against a program that only dlopens the same files
  memory      idle resident size against a program linked with the same libraries; peak resident
              size under a flood of gated 1 MiB frames with memory throttling on
  store       SegmentRecorder's recording store (bench_store) at 96 and 2.07 million files: a
              first start's reconcile and a restart's after a clean stop and after a crash,
              retention passes, segment starts and ends (also 16 cameras at once), resident size
              (--quick: 96 and 250,000 files)
  media       cameras recorded by the media plugins beside ffmpeg processes
              (bench/media/media_bench.py; --no-media skips it)
  web         what live viewers of the web view cost: 16 RTSP cameras recorded, then 4 viewers each
              (bench/media/web_bench.py; --no-media skips it too)
The figures go to BUILD_DIR/bench/results.json.
"""
import json
import os
import pty
import select
import shutil
import signal
import socket
import statistics
import struct
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
START_LINE = b"successfully started core version"
PRODUCER_ID = 0x00340000
IN_FLIGHT = 200
SIZES = [0, 100, 4096, 65536, 1048576]
MIB = 1048576

# Events per throughput run, by payload size: enough for about half a second of the slower side.
COUNTS = {0: 3_000_000, 100: 2_000_000, 4096: 1_000_000, 65536: 200_000, 1048576: 10_000}


def fail(message):
    sys.stderr.write("bench: %s\n" % message)
    sys.exit(1)


class Installation:
    """A copy of the core in a fresh folder with the given plugins and a core.xml."""

    def __init__(self, build, plugins, throttling=True):
        self.path = tempfile.mkdtemp(prefix="dvrbench-")
        shutil.copy2(os.path.join(build, "dvrcore"), self.path)
        os.mkdir(os.path.join(self.path, "plugins"))
        os.mkdir(os.path.join(self.path, "protected-plugins"))
        for source, name in plugins:
            shutil.copy2(source, os.path.join(self.path, "plugins", name))
        # The producer's threshold: log lines below 50 are dropped, the others written and delivered.
        with open(os.path.join(self.path, "core.xml"), "w") as config:
            config.write('<?xml version="1.0" ?>\n<oDVR Delta="0">\n'
                         '    <Memory Throttling="%d" />\n'
                         '    <Modules>\n        <Module>\n'
                         '            <Plugin ID="%d" LogLevel="50" />\n'
                         '        </Module>\n    </Modules>\n</oDVR>\n' % (1 if throttling else 0, PRODUCER_ID))

    def plugin_files(self):
        folder = os.path.join(self.path, "plugins")
        return sorted(os.path.join(folder, name) for name in os.listdir(folder))

    def remove(self):
        shutil.rmtree(self.path, ignore_errors=True)


class Core:
    """The core running in an installation, its console on a terminal that is read all the time."""

    def __init__(self, installation, env=None, parent=False):
        self.installation = installation
        self.started_at = None
        self.start_line_at = None
        self.console = bytearray()
        self._seen = threading.Event()
        master, slave = pty.openpty()
        args = [os.path.join(installation.path, "dvrcore")]
        pass_fds = ()
        self.parent = None
        if parent:
            self.parent, child = socket.socketpair(socket.AF_UNIX, socket.SOCK_SEQPACKET)
            args.append(str(child.fileno()))
            pass_fds = (child.fileno(),)
        environment = dict(os.environ)
        environment.update(env or {})
        self.started_at = time.monotonic()
        self.process = subprocess.Popen(args, cwd=installation.path, env=environment, stdin=subprocess.DEVNULL,
                                        stdout=slave, stderr=subprocess.STDOUT, pass_fds=pass_fds)
        os.close(slave)
        if parent:
            child.close()
            # A prompt parent: the parameters are waiting before the core looks for them.
            payload = b"dvrbench\x001.0"
            self.parent.send(struct.pack("<IIII", 16 + len(payload), 0, 7, 0) + payload)
        self._master = master
        self._reader = threading.Thread(target=self._read_console, daemon=True)
        self._reader.start()

    def _read_console(self):
        while True:
            try:
                ready, _, _ = select.select([self._master], [], [], 0.5)
                if not ready:
                    if self.process.poll() is not None:
                        break
                    continue
                chunk = os.read(self._master, 65536)
            except OSError:
                break
            if not chunk:
                break
            now = time.monotonic()
            self.console += chunk
            if self.start_line_at is None and START_LINE in self.console:
                self.start_line_at = now
                self._seen.set()
        self._seen.set()

    def wait_started(self, timeout=30):
        if not self._seen.wait(timeout) or self.start_line_at is None:
            self.kill()
            fail("the core did not start: %s" % self.console.decode(errors="replace")[-2000:])
        return self.start_line_at - self.started_at

    def status(self, field):
        with open("/proc/%d/status" % self.process.pid) as status:
            for line in status:
                if line.startswith(field + ":"):
                    return int(line.split()[1]) * 1024
        return 0

    def stop(self, timeout=60):
        """SIGTERM, then the time until the process has exited."""
        stopping = time.monotonic()
        self.process.send_signal(signal.SIGTERM)
        try:
            self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            self.kill()
            fail("the core did not stop within %d s" % timeout)
        took = time.monotonic() - stopping
        self._close()
        return took

    def kill(self):
        self.process.kill()
        self.process.wait()
        self._close()

    def _close(self):
        self._reader.join(5)
        try:
            os.close(self._master)
        except OSError:
            pass
        if self.parent is not None:
            self.parent.close()


def read_figures(path, timeout, core):
    deadline = time.monotonic() + timeout
    while not os.path.exists(path):
        if core.process.poll() is not None:
            fail("the core exited during a run: %s" % core.console.decode(errors="replace")[-2000:])
        if time.monotonic() > deadline:
            core.kill()
            fail("no figures from the bench plugins within %d s" % timeout)
        time.sleep(0.01)
    figures = {}
    with open(path) as result:
        for line in result:
            key, value = line.split()
            figures[key] = float(value)
    return figures


class Bench:
    def __init__(self, build, quick):
        self.build = os.path.abspath(build)
        self.bench = os.path.join(self.build, "bench")
        self.quick = quick
        self.results = {}

    def tool(self, name):
        return os.path.join(self.bench, name)

    def plugin(self, name):
        return os.path.join(self.bench, "plugins", name)

    def repeats(self):
        return 1 if self.quick else 5

    def run_core(self, env, plugins, timeout=300, throttling=True, log_plugin=False, measure=None):
        """One run of the bench plugins in a fresh core; returns the producer's figures."""
        if log_plugin:
            plugins = plugins + [(os.path.join(self.build, "plugins", "LogPI.so"), "LogPI.so")]
        installation = Installation(self.build, plugins, throttling)
        out = os.path.join(installation.path, "bench.out")
        env = dict(env, DVRBENCH_OUT=out)
        try:
            core = Core(installation, {k: str(v) for k, v in env.items()})
            core.wait_started()
            figures = read_figures(out, timeout, core)
            if measure is not None:
                figures.update(measure(core))
            core.stop()
            return figures
        finally:
            installation.remove()

    def subscribers(self, n):
        return [(self.plugin("bench_subscriber.so"), "bench_sub%d.so" % (i + 1)) for i in range(n)]

    def producer(self):
        return [(self.plugin("bench_producer.so"), "bench_producer.so")]

    # ---- throughput -----------------------------------------------------------------------------

    def dvrcore_rate(self, size, count, producers, subscribers):
        figures = self.run_core({"DVRBENCH_MODE": "throughput", "DVRBENCH_SIZE": size, "DVRBENCH_COUNT": count,
                                 "DVRBENCH_PRODUCERS": producers, "DVRBENCH_SUBSCRIBERS": subscribers,
                                 "DVRBENCH_IN_FLIGHT": IN_FLIGHT},
                                self.producer() + self.subscribers(subscribers))
        if figures.get("refused", 0) != 0:
            fail("the core refused %d bench frames" % figures["refused"])
        return count / (figures["elapsed_ns"] / 1e9)

    def baseline_rate(self, size, count, producers, subscribers):
        out = subprocess.run([self.tool("bench_baseline"), "bus", str(size), str(count), str(producers),
                              str(subscribers), str(IN_FLIGHT)], check=True, capture_output=True, text=True)
        return float(out.stdout.split("=")[1])

    def paired_rates(self, size, count, producers, subscribers):
        """The core and the baseline taking turns, so a slow moment of the machine hits both; the
        median of each."""
        core, base = [], []
        for _ in range(self.repeats()):
            core.append(self.dvrcore_rate(size, count, producers, subscribers))
            base.append(self.baseline_rate(size, count, producers, subscribers))
        return statistics.median(core), statistics.median(base)

    def gst_rate(self, size, count, variant):
        script = os.path.join(ROOT, "bench", "peers", "gst-peer.sh")
        rates = []
        for _ in range(min(3, self.repeats())):
            out = subprocess.run(["bash", script, str(size), str(count), variant], capture_output=True, text=True)
            if out.returncode != 0:
                sys.stderr.write("bench: GStreamer peer unavailable: %s\n" % out.stderr.strip()[-300:])
                return None
            rates.append(float(out.stdout.strip().split("=")[1]))
        return statistics.median(rates)

    def throughput(self):
        rows = []
        for size in SIZES:
            count = COUNTS[size] // (10 if self.quick else 1)
            for producers in (1, 4):
                for subscribers in (1, 4):
                    core, base = self.paired_rates(size, count, producers, subscribers)
                    row = {"size": size, "producers": producers, "subscribers": subscribers,
                           "dvrcore_events_per_s": round(core), "dvrcore_gb_per_s": round(core * size / 1e9, 3),
                           "baseline_events_per_s": round(base), "vs_baseline": round(core / base, 3)}
                    if producers == 1 and subscribers == 1:
                        for variant in ("copy", "ref"):
                            peer = self.gst_rate(size, count, variant)
                            if peer is not None:
                                row["gst_%s_buffers_per_s" % variant] = round(peer)
                                row["vs_gst_%s" % variant] = round(core / peer, 3)
                    rows.append(row)
                    print("  %7d B  %dP %dS  dvrcore %10.0f/s  baseline %10.0f/s  x%.2f%s" % (
                        size, producers, subscribers, core, base, core / base,
                        "  gst copy x%.2f ref x%.2f" % (row.get("vs_gst_copy", 0), row.get("vs_gst_ref", 0))
                        if "vs_gst_copy" in row else ""), flush=True)
        self.results["throughput"] = rows
        copies = []
        for _ in range(self.repeats()):
            out = subprocess.run([self.tool("bench_baseline"), "copy", str(MIB), "4000"], check=True,
                                 capture_output=True, text=True)
            copies.append(float(out.stdout.split("=")[1]))
        copy_rate = statistics.median(copies)
        best_mib = max(r["dvrcore_events_per_s"] for r in rows if r["size"] == MIB) * MIB
        self.results["large_frames"] = {"malloc_memcpy_free_gb_per_s": round(copy_rate / 1e9, 2),
                                        "dvrcore_1mib_gb_per_s": round(best_mib / 1e9, 2),
                                        "share": round(best_mib / copy_rate, 3)}

    # ---- latency --------------------------------------------------------------------------------

    def latency(self):
        rows = []
        for rate, count in ((1000, 3000), (10000, 20000)):
            figures = self.run_core({"DVRBENCH_MODE": "latency", "DVRBENCH_SIZE": 4096, "DVRBENCH_COUNT": count,
                                     "DVRBENCH_RATE": rate, "DVRBENCH_IN_FLIGHT": IN_FLIGHT},
                                    self.producer() + self.subscribers(1), log_plugin=True)
            rows.append({"frames_per_s": rate, "frames": count, "p50_us": round(figures["latency_p50_ns"] / 1e3, 1),
                         "p99_us": round(figures["latency_p99_ns"] / 1e3, 1),
                         "max_us": round(figures["latency_max_ns"] / 1e3, 1)})
        self.results["latency"] = rows

    # ---- log gate -------------------------------------------------------------------------------

    def log_gate(self):
        count = 100_000 if self.quick else 300_000
        figures = self.run_core({"DVRBENCH_MODE": "log", "DVRBENCH_COUNT": count, "DVRBENCH_IN_FLIGHT": IN_FLIGHT},
                                self.producer() + self.subscribers(1), log_plugin=True)
        out = subprocess.run([self.tool("bench_log_gate"), "20000000"], check=True, capture_output=True, text=True)
        self.results["log"] = {"dropped_plugin_line_ns": round(figures["dropped_log_ns"], 1),
                               "dropped_corelog_ns": float(out.stdout.split("=")[1]),
                               "written_delivered_line_ns": round(figures["elapsed_ns"] / count, 1)}

    # ---- start-up and shutdown ------------------------------------------------------------------

    def startup(self):
        rows = []
        trivial = self.plugin("bench_trivial.so")
        fsyncs = []
        for n in (1, 10, 50):
            plugins = [(trivial, "bench_trivial_%02d.so" % (i + 1)) for i in range(n)]
            installation = Installation(self.build, plugins)
            starts, stops, loads = [], [], []
            try:
                for _ in range(5 if not self.quick else 2):
                    core = Core(installation, parent=True)
                    starts.append(core.wait_started())
                    time.sleep(0.2)
                    stops.append(core.stop())
                    began = time.monotonic()
                    subprocess.run([self.tool("bench_dlopen_only")] + installation.plugin_files(), check=True)
                    loads.append(time.monotonic() - began)
                fsyncs.append(self.save_cost(installation.path))
            finally:
                installation.remove()
            rows.append({"plugins": n, "start_ms": round(statistics.median(starts) * 1e3, 2),
                         "stop_ms": round(statistics.median(stops) * 1e3, 2),
                         "dlopen_only_ms": round(statistics.median(loads) * 1e3, 2)})
        first, last = rows[0], rows[-1]
        span = last["plugins"] - first["plugins"]
        per_plugin = (last["start_ms"] - first["start_ms"]) / span * 1e3
        per_dlopen = (last["dlopen_only_ms"] - first["dlopen_only_ms"]) / span * 1e3
        save_ms = statistics.median(fsyncs) * 1e3
        self.results["startup"] = {"runs": rows, "per_plugin_us": round(per_plugin, 1),
                                   "per_dlopen_us": round(per_dlopen, 1),
                                   "beyond_dlopen_us": round(per_plugin - per_dlopen, 1),
                                   "config_save_fsync_ms": round(save_ms, 2),
                                   "start_minus_fsync_ms": round(first["start_ms"] - save_ms, 2)}

    @staticmethod
    def save_cost(folder):
        """What the configuration save's two syncs cost here: the file, then its folder."""
        costs = []
        for _ in range(5):
            path = os.path.join(folder, "fsync.probe")
            began = time.monotonic()
            with open(path + ".pending", "w") as probe:
                probe.write("x" * 2048)
                probe.flush()
                os.fsync(probe.fileno())
            os.rename(path + ".pending", path)
            directory = os.open(folder, os.O_RDONLY)
            os.fsync(directory)
            os.close(directory)
            costs.append(time.monotonic() - began)
        return statistics.median(costs)

    # ---- memory ---------------------------------------------------------------------------------

    def memory(self):
        installation = Installation(self.build, [(os.path.join(self.build, "plugins", "LogPI.so"), "LogPI.so")])
        try:
            core = Core(installation)
            core.wait_started()
            time.sleep(1.0)
            idle = core.status("VmRSS")
            core.stop()
        finally:
            installation.remove()
        trivial = subprocess.Popen([self.tool("bench_trivial_libs")], stdout=subprocess.PIPE)
        trivial.stdout.readline()
        time.sleep(1.0)
        with open("/proc/%d/status" % trivial.pid) as status:
            trivial_rss = next(int(l.split()[1]) * 1024 for l in status if l.startswith("VmRSS:"))
        trivial.kill()
        trivial.wait()

        seconds = 3 if self.quick else 6
        flood = self.run_core({"DVRBENCH_MODE": "flood", "DVRBENCH_SIZE": MIB, "DVRBENCH_SECONDS": seconds,
                               "DVRBENCH_SUBSCRIBER_DELAY_US": 2000},
                              self.producer() + self.subscribers(1), log_plugin=True,
                              measure=lambda core: {"peak": core.status("VmHWM")})
        self.results["memory"] = {"idle_rss_mib": round(idle / MIB, 2), "trivial_program_rss_mib": round(trivial_rss / MIB, 2),
                                  "idle_over_trivial_mib": round((idle - trivial_rss) / MIB, 2),
                                  "flood_peak_rss_mib": round(flood["peak"] / MIB, 1),
                                  "flood_accepted": int(flood["accepted"]), "flood_throttled": int(flood["throttled"]),
                                  "flood_refused_other": int(flood["refused_other"])}


    # ---- recording store ------------------------------------------------------------------------

    def store(self):
        sizes = ["96", "250000" if self.quick else "2072640"]
        path = os.path.join(self.bench, "store_results.json")
        command = [self.tool("bench_store"), "--json", path]
        for size in sizes:
            command += ["--files", size]
        subprocess.run(command, check=True)
        with open(path) as figures:
            self.results["store"] = json.load(figures)

    # ---- media ----------------------------------------------------------------------------------

    def media(self):
        script = os.path.join(ROOT, "bench", "media", "media_bench.py")
        subprocess.run([sys.executable, script, self.build] + (["--quick"] if self.quick else []), check=True)
        with open(os.path.join(self.bench, "media_results.json")) as figures:
            self.results["media"] = json.load(figures)

    def web(self):
        script = os.path.join(ROOT, "bench", "media", "web_bench.py")
        subprocess.run([sys.executable, script, self.build] + (["--quick"] if self.quick else []), check=True)
        with open(os.path.join(self.bench, "web_results.json")) as figures:
            self.results["web"] = json.load(figures)


def print_table(results):
    print()
    print("dvrcore benchmarks")
    print("%-58s %s" % ("figure", "value"))
    for row in results.get("throughput", []):
        label = "throughput %7d B %dP/%dS" % (row["size"], row["producers"], row["subscribers"])
        extra = ""
        if "vs_gst_copy" in row:
            extra = ", x%.2f GStreamer copy, x%.2f GStreamer ref" % (row["vs_gst_copy"], row["vs_gst_ref"])
        print("%-58s %10d ev/s %7.3f GB/s, x%.2f baseline%s" % (label, row["dvrcore_events_per_s"],
                                                             row["dvrcore_gb_per_s"], row["vs_baseline"], extra))
    large = results.get("large_frames")
    if large:
        print("%-58s %.2f of %.2f GB/s (%.0f%%)" % ("1 MiB frames vs malloc+memcpy+free", large["dvrcore_1mib_gb_per_s"],
                                                   large["malloc_memcpy_free_gb_per_s"], large["share"] * 100))
    for row in results.get("latency", []):
        print("%-58s p50 %.1f us, p99 %.1f us, max %.1f us" % ("latency 4 KiB at %d fps" % row["frames_per_s"],
                                                              row["p50_us"], row["p99_us"], row["max_us"]))
    log = results.get("log")
    if log:
        print("%-58s %.1f ns" % ("log line dropped by the gate (plugin)", log["dropped_plugin_line_ns"]))
        print("%-58s %.1f ns" % ("CoreLog dropped by the gate", log["dropped_corelog_ns"]))
        print("%-58s %.1f ns" % ("log line written and delivered", log["written_delivered_line_ns"]))
    startup = results.get("startup")
    if startup:
        for row in startup["runs"]:
            print("%-58s start %.1f ms, stop %.1f ms, dlopen only %.1f ms" % (
                "start-up, %d trivial plugins" % row["plugins"], row["start_ms"], row["stop_ms"], row["dlopen_only_ms"]))
        print("%-58s %.1f us (dlopen %.1f us, beyond %.1f us)" % ("per plugin", startup["per_plugin_us"],
                                                                 startup["per_dlopen_us"], startup["beyond_dlopen_us"]))
        print("%-58s %.2f ms (save's syncs %.2f ms)" % ("start line after exec, less the save's syncs",
                                                        startup["start_minus_fsync_ms"], startup["config_save_fsync_ms"]))
    memory = results.get("memory")
    if memory:
        print("%-58s %.2f MiB (trivial program %.2f MiB, +%.2f MiB)" % (
            "idle resident size with the log plugin", memory["idle_rss_mib"], memory["trivial_program_rss_mib"],
            memory["idle_over_trivial_mib"]))
        print("%-58s %.1f MiB; %d accepted, %d throttled, %d other" % (
            "peak resident size, gated 1 MiB flood", memory["flood_peak_rss_mib"], memory["flood_accepted"],
            memory["flood_throttled"], memory["flood_refused_other"]))
    for row in results.get("store", []):
        label = "store of %d files" % row["files"]
        print("%-58s %.2f ms (16 deleted), %.2f ms (none)" % (
            label + ": retention pass", row["pass_ms"], row["idle_pass_ms"]))
        print("%-58s first start %.0f ms; after a clean stop %.1f ms, after a crash %.1f ms" % (
            label + ": reconcile", row["reconcile_ms"], row["clean_restart_ms"], row["crash_restart_ms"]))
        print("%-58s start %.0f us, end %.0f us; 16 at once %.2f ms; resident +%.1f MiB (peak +%.1f)" % (
            label + ": segment", row["begin_us"], row["end_us"], row["round_ms"], row["store_mib"],
            max(row["pass_peak_mib"], row["reconcile_peak_mib"])))
    media = results.get("media")
    if media:
        for name, rows in media["realtime"].items():
            row = rows[-1]  # the most cameras
            core = row["dvrcore"]
            print("%-58s %.1f s (user %.1f, sys %.1f), x%.2f ffmpeg; %d dropped" % (
                "media real time, %s, %d cameras: CPU per camera-hour" % (name, row["cameras"]),
                core["cpu_s_per_camera_hour"], core["user_s_per_camera_hour"], core["sys_s_per_camera_hour"],
                row["ratio"]["cpu"], core["dropped"]))
            print("%-58s %.1f MiB, x%.2f ffmpeg (peak %.1f MiB)" % (
                "media real time, %s, %d cameras: steady resident size" % (name, row["cameras"]),
                core["steady_rss_mib"], row["ratio"]["steady_rss"], core["peak_rss_mib"]))
        fast = media.get("dvrcore_fast")
        if fast:
            print("%-58s %.1f camera-s/s, %.1f s per camera-hour, x%.2f ffmpeg" % (
                "media, 16 cameras as fast as read", fast["camera_s_per_wall_s"], fast["cpu_s_per_camera_hour"],
                media["cpu_ratio_fast"]))
    web = results.get("web")
    if web:
        print("%-58s %.1f CPU s/h, x%.2f the recording of a camera; %.2f MiB; p50/p99 %.0f/%.0f ms; "
              "%d recorder drops" % ("web, a live viewer-camera (%d cameras x %d viewers)" % (
                  web["cameras"], web["viewers_per_camera"]), web["viewer_cpu_s_per_viewer_camera_hour"],
                  web["viewer_to_recording_cpu_ratio"], web["memory_per_viewer_mib"],
                  web["viewers"]["delay_p50_ms"], web["viewers"]["delay_p99_ms"], web["watched"]["dropped"]))


def main():
    args = [a for a in sys.argv[1:] if not a.startswith("--")]
    if len(args) != 1:
        fail("usage: run_bench.py BUILD_DIR [--quick] [--no-media] "
             "[--only=throughput,latency,log_gate,startup,memory,store,media,web]")
    quick = "--quick" in sys.argv
    only = next((a.split("=", 1)[1].split(",") for a in sys.argv if a.startswith("--only=")),
                ["throughput", "latency", "log_gate", "startup", "memory", "store", "media", "web"])
    if "--no-media" in sys.argv:
        only = [name for name in only if name not in ("media", "web")]
    bench = Bench(args[0], quick)
    for name in only:
        print("bench: %s" % name, flush=True)
        getattr(bench, name)()
    bench.results["machine"] = {"cpus": os.cpu_count(), "uname": " ".join(os.uname())}
    path = os.path.join(bench.bench, "results.json")
    with open(path, "w") as out:
        json.dump(bench.results, out, indent=2)
    print_table(bench.results)
    print("\nfigures written to %s" % path)


if __name__ == "__main__":
    main()
