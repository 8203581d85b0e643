"""What the media benchmark reads from /proc and from strace, the figures it derives from them, and
which recorded files it decodes.

No process is started here: each reader takes the /proc root as an argument so that the tests can
hand it a folder of their own.
"""
import glob
import os
import re
import time

TICK = os.sysconf("SC_CLK_TCK")
MIB = 1048576


def parse_cameras(text):
    """"1,4,8,16" as [1, 4, 8, 16]: positive counts, each once, in the order given."""
    counts = []
    for part in text.split(","):
        if not part.strip().isdigit() or int(part) < 1:
            raise ValueError("not a camera count: %r" % part)
        if int(part) in counts:
            raise ValueError("camera count %s given twice" % part.strip())
        counts.append(int(part))
    return counts


def cpu_split(pid, proc="/proc"):
    """User and system CPU seconds of a process, all its threads, from its stat line."""
    with open("%s/%d/stat" % (proc, pid)) as stat:
        # The command name may hold spaces and parentheses: the fields start after the last ")".
        fields = stat.read().rsplit(")", 1)[1].split()
    return int(fields[11]) / TICK, int(fields[12]) / TICK


def process_cpu_seconds(pid):
    """CPU seconds a running process has used, every thread's (ended ones too), from the kernel's
    CPU-time clock of the process: counted in nanoseconds, where stat's user and system times count
    in ticks of 10 ms, a step of 5 % of one camera's minute."""
    return time.clock_gettime(((~pid) << 3) | 2)  # the process's CPUCLOCK_SCHED clock


def io_counters(pid, proc="/proc"):
    """A process's I/O counters (/proc/PID/io; the kernel sums its threads)."""
    figures = {}
    with open("%s/%d/io" % (proc, pid)) as io:
        for line in io:
            key, _, value = line.partition(":")
            figures[key] = int(value)
    return figures


def io_syscalls(pid, proc="/proc"):
    """Read and write system calls of a process (syscr + syscw)."""
    figures = io_counters(pid, proc)
    return figures["syscr"] + figures["syscw"]


def thread_states(pid, proc="/proc"):
    """How many of a process's threads are in each scheduler state now: R runnable, D waiting
    uninterruptibly (for the disk: a write held back or a sync), S sleeping (on a lock or a
    condition, in a poll), by the state letter of each thread's stat line."""
    states = {}
    for stat in glob.glob("%s/%d/task/*/stat" % (proc, pid)):
        try:
            with open(stat) as source:
                state = source.read().rsplit(")", 1)[1].split()[0]
        except (OSError, IndexError):  # a thread that ended meanwhile
            continue
        states[state] = states.get(state, 0) + 1
    return states


def context_switches(pid, proc="/proc"):
    """Voluntary and involuntary context switches summed over the threads alive now."""
    total = 0
    for status in glob.glob("%s/%d/task/*/status" % (proc, pid)):
        try:
            with open(status) as source:
                for line in source:
                    if line.startswith(("voluntary_ctxt_switches:", "nonvoluntary_ctxt_switches:")):
                        total += int(line.split()[1])
        except OSError:
            pass  # the thread ended between the listing and the read
    return total


def counters(pids, proc="/proc", cpu_seconds=process_cpu_seconds):
    """The counters of a side (one or more processes), summed: CPU seconds, user and system CPU
    seconds, read and write system calls, context switches."""
    total = {"cpu_s": 0.0, "user_s": 0.0, "sys_s": 0.0, "syscalls": 0, "context_switches": 0}
    for pid in pids:
        total["cpu_s"] += cpu_seconds(pid)
        user, system = cpu_split(pid, proc)
        total["user_s"] += user
        total["sys_s"] += system
        total["syscalls"] += io_syscalls(pid, proc)
        total["context_switches"] += context_switches(pid, proc)
    return total


def progress_frames(text):
    """Video frames written, from what ffmpeg's -progress option wrote so far: the frame count of its
    last complete report (one that reached its progress= line), 0 before the first."""
    frames, last = 0, 0
    for line in text.splitlines():
        if line.startswith("frame=") and line[len("frame="):].isdigit():
            frames = int(line[len("frame="):])
        elif line.startswith("progress="):
            last = frames
    return last


def import_figures(cpu_s, recorded_camera_s, wall_s, peak_bytes):
    """A side's figures over an import's window: CPU seconds per camera-hour recorded (per camera-
    second at least, so a side that recorded nothing shows its whole cost) and camera-seconds
    recorded per wall second."""
    return {"cpu_s": round(cpu_s, 2), "wall_s": round(wall_s, 2), "recorded_camera_s": round(recorded_camera_s, 1),
            "cpu_s_per_camera_hour": round(cpu_s / max(recorded_camera_s, 1) * 3600, 1),
            "camera_s_per_wall_s": round(recorded_camera_s / wall_s, 1),
            "peak_rss_mib": round(peak_bytes / 1048576, 1)}


def side_figures(before, after, wall_s, cameras, frames):
    """A side's figures over a window: CPU seconds per camera-hour (total, user, system) and read +
    write system calls and context switches per video frame recorded in the window. The total is the
    precise one; user and system share it as their ticks did."""
    delta = {key: after[key] - before[key] for key in before}
    per_camera_hour = 3600.0 / (cameras * wall_s)
    per_frame = 1.0 / frames if frames > 0 else float("nan")
    ticked = delta["user_s"] + delta["sys_s"]
    user_share = delta["user_s"] / ticked if ticked > 0 else 0.5
    return {"cpu_s_per_camera_hour": round(delta["cpu_s"] * per_camera_hour, 1),
            "user_s_per_camera_hour": round(delta["cpu_s"] * user_share * per_camera_hour, 1),
            "sys_s_per_camera_hour": round(delta["cpu_s"] * (1 - user_share) * per_camera_hour, 1),
            "syscalls_per_frame": round(delta["syscalls"] * per_frame, 2),
            "context_switches_per_frame": round(delta["context_switches"] * per_frame, 3),
            "frames": frames, "fps_per_camera": round(frames / (cameras * wall_s), 2)}


def frame_rate(intervals):
    """Frames a second from the intervals between frames' timestamps, leaving out those over twice
    the median (a gap at the start of a file is no frame lost in the window)."""
    if not intervals:
        return 0.0
    median = sorted(intervals)[len(intervals) // 2]
    kept = [interval for interval in intervals if interval <= 2 * median]
    return len(kept) / sum(kept) if sum(kept) > 0 else 0.0


def decode_sample(files, count, joined, size):
    """count files to decode, from cameras spread over the list: each camera's largest. files: each
    camera's files in recording order. joined: the cameras joined running streams, and a camera's
    first file, which starts wherever its join fell (ffmpeg copies the frames before the first key
    frame), is taken only when it is the camera's only one."""
    cameras = sorted(files)
    sample = []
    for i in range(count):
        own = files[cameras[i * len(cameras) // count]]
        own = own[1:] if joined and len(own) > 1 else own
        sample.append(max(own, key=size))
    return sample


def ratio(core, peer):
    """core / peer, or None where the peer's figure is 0 (nothing to set against)."""
    return round(core / peer, 3) if peer else None


def ratios(core, peer):
    return {name: ratio(core[key], peer[key]) for name, key in (
        ("cpu", "cpu_s_per_camera_hour"), ("user", "user_s_per_camera_hour"), ("sys", "sys_s_per_camera_hour"),
        ("syscalls_per_frame", "syscalls_per_frame"), ("context_switches_per_frame", "context_switches_per_frame"),
        ("peak_rss", "peak_rss_mib"), ("steady_rss", "steady_rss_mib"))}


def parse_strace_summary(text):
    """The rows of `strace -c` as {syscall: calls}, without the total. The columns are right-aligned
    under their headings, and errors may be blank: a figure is found by where it ends."""
    lines = text.splitlines()
    header = next((i for i, line in enumerate(lines) if "calls" in line and "syscall" in line), None)
    if header is None:
        return {}
    calls_end = lines[header].index("calls") + len("calls")
    rows = {}
    for line in lines[header + 1:]:
        tokens = list(re.finditer(r"\S+", line))
        if len(tokens) < 2 or set(line.strip()) <= set("- "):
            continue
        name = tokens[-1].group()
        calls = next((t.group() for t in tokens if t.end() == calls_end), None)
        if name != "total" and calls is not None and calls.isdigit():
            rows[name] = rows.get(name, 0) + int(calls)
    return rows


def top_per_frame(rows, frames, count=8):
    """The system calls made most often, as (syscall, calls per frame), most first."""
    ranked = sorted(rows.items(), key=lambda item: (-item[1], item[0]))[:count]
    return [(name, round(calls / frames, 2) if frames else None) for name, calls in ranked]
