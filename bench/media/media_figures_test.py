#!/usr/bin/env python3
"""The media benchmark's figures: what it reads from /proc (a folder laid out like it) and from
strace's table, and what it derives from them."""
import math
import os
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import media_figures  # noqa: E402

TICK = media_figures.TICK
# A command name with a space and a parenthesis, as the kernel shows it: the fields come after the last ")".
STAT = "4242 (ffmpeg (x) 1) S 1 4242 4242 0 -1 4194560 100 0 0 0 %d %d 0 0 20 0 3 0 100 1000 200\n"
IO = "rchar: 1000\nwchar: 2000\nsyscr: %d\nsyscw: %d\nread_bytes: 0\nwrite_bytes: 0\ncancelled_write_bytes: 0\n"
TASK = "Name:\tffmpeg\nState:\tS\nvoluntary_ctxt_switches:\t%d\nnonvoluntary_ctxt_switches:\t%d\n"
# strace 6.1's table: the errors column is blank where a call never failed.
STRACE = """% time     seconds  usecs/call     calls    errors syscall
------ ----------- ----------- --------- --------- ----------------
 41.20    0.004120          10       400           write
 30.00    0.003000           6       500        12 read
 20.00    0.002000          20       100           futex
  8.80    0.000880          44        20         3 recvfrom
------ ----------- ----------- --------- --------- ----------------
100.00    0.010000          10      1020        15 total
"""


class FakeProc:
    """A /proc of processes whose stat, io and per-thread status the test writes."""

    def __init__(self):
        self.folder = tempfile.TemporaryDirectory()
        self.root = self.folder.name

    def process(self, pid, user_ticks, sys_ticks, syscr, syscw, threads):
        os.makedirs(os.path.join(self.root, str(pid)), exist_ok=True)
        self.write(pid, "stat", STAT % (user_ticks, sys_ticks))
        self.write(pid, "io", IO % (syscr, syscw))
        for tid, (voluntary, involuntary) in threads.items():
            os.makedirs(os.path.join(self.root, str(pid), "task", str(tid)), exist_ok=True)
            self.write(pid, "task/%d/status" % tid, TASK % (voluntary, involuntary))

    def write(self, pid, name, text):
        with open(os.path.join(self.root, str(pid), name), "w") as out:
            out.write(text)


class ProcCounters(unittest.TestCase):
    def setUp(self):
        self.proc = FakeProc()
        self.addCleanup(self.proc.folder.cleanup)

    def test_user_and_system_time_are_read_after_a_command_name_with_spaces_and_parentheses(self):
        self.proc.process(4242, 3 * TICK, 2 * TICK, 0, 0, {})
        self.assertEqual(media_figures.cpu_split(4242, self.proc.root), (3.0, 2.0))

    def test_a_side_sums_syscalls_and_every_threads_context_switches_over_its_processes(self):
        self.proc.process(10, TICK, TICK, 5, 7, {10: (100, 1), 11: (20, 2)})
        self.proc.process(20, 2 * TICK, 0, 1, 1, {20: (3, 4)})
        self.assertEqual(media_figures.counters([10, 20], self.proc.root, cpu_seconds=lambda pid: pid / 8),
                         {"cpu_s": 3.75, "user_s": 3.0, "sys_s": 1.0, "syscalls": 14, "context_switches": 130})

    def test_thread_states_are_counted_by_the_letter_after_each_command_name(self):
        for tid, state in ((10, "R"), (11, "D"), (12, "S"), (13, "S")):
            os.makedirs(os.path.join(self.proc.root, "10", "task", str(tid)))
            self.proc.write(10, "task/%d/stat" % tid, STAT.replace(") S ", ") %s " % state) % (0, 0))
        self.assertEqual(media_figures.thread_states(10, self.proc.root), {"R": 1, "D": 1, "S": 2})

    def test_a_running_process_has_a_cpu_clock_of_its_own(self):
        spent = media_figures.process_cpu_seconds(os.getpid())
        self.assertGreater(spent, 0.0)
        self.assertLessEqual(spent, time.process_time() + 0.01)


class SideFigures(unittest.TestCase):
    BEFORE = {"cpu_s": 15.0, "user_s": 10.0, "sys_s": 5.0, "syscalls": 1000, "context_switches": 500}

    def test_cpu_is_per_camera_hour_and_the_counters_per_frame_of_the_window(self):
        # The total is the CPU clock's (8 s); user and system share it as their ticks did (3 to 1).
        after = {"cpu_s": 23.0, "user_s": 13.0, "sys_s": 6.0, "syscalls": 4000, "context_switches": 2000}
        # 4 cameras for 60 s: 8 CPU seconds are 120 s per camera-hour; 6000 frames are 25 a second each.
        row = media_figures.side_figures(self.BEFORE, after, 60.0, 4, 6000)
        self.assertEqual((row["cpu_s_per_camera_hour"], row["user_s_per_camera_hour"], row["sys_s_per_camera_hour"]),
                         (120.0, 90.0, 30.0))
        self.assertEqual((row["syscalls_per_frame"], row["context_switches_per_frame"], row["fps_per_camera"]),
                         (0.5, 0.25, 25.0))

    def test_a_window_without_frames_has_no_per_frame_figure_rather_than_a_division_error(self):
        row = media_figures.side_figures(self.BEFORE, self.BEFORE, 20.0, 1, 0)
        self.assertTrue(math.isnan(row["syscalls_per_frame"]))
        self.assertEqual(row["cpu_s_per_camera_hour"], 0.0)

    def test_ratios_are_dvrcore_over_ffmpeg_and_none_where_ffmpeg_has_nothing(self):
        core = {"cpu_s_per_camera_hour": 30.0, "user_s_per_camera_hour": 20.0, "sys_s_per_camera_hour": 10.0,
                "syscalls_per_frame": 3.0, "context_switches_per_frame": 1.0, "peak_rss_mib": 50.0,
                "steady_rss_mib": 40.0}
        peer = dict(core, cpu_s_per_camera_hour=60.0, sys_s_per_camera_hour=0.0, steady_rss_mib=160.0)
        ratios = media_figures.ratios(core, peer)
        self.assertEqual((ratios["cpu"], ratios["user"], ratios["sys"], ratios["steady_rss"]), (0.5, 1.0, None, 0.25))


class Import(unittest.TestCase):
    def test_cpu_is_per_camera_hour_recorded_and_a_side_that_recorded_nothing_shows_its_whole_cost(self):
        figures = media_figures.import_figures(cpu_s=12.0, recorded_camera_s=7200.0, wall_s=30.0, peak_bytes=3 << 20)
        self.assertEqual(figures["cpu_s_per_camera_hour"], 6.0)
        self.assertEqual(figures["camera_s_per_wall_s"], 240.0)
        self.assertEqual(figures["peak_rss_mib"], 3.0)
        stalled = media_figures.import_figures(cpu_s=12.0, recorded_camera_s=0.0, wall_s=30.0, peak_bytes=0)
        self.assertEqual(stalled["cpu_s_per_camera_hour"], 12.0 * 3600)
        self.assertEqual(stalled["camera_s_per_wall_s"], 0.0)

class Progress(unittest.TestCase):
    def test_frames_are_those_of_the_last_complete_report_and_none_before_the_first(self):
        report = "frame=%d\nfps=0.0\nout_time_us=1\nprogress=continue\n"
        self.assertEqual(media_figures.progress_frames(""), 0)
        self.assertEqual(media_figures.progress_frames("frame=25\nfps=0.0\n"), 0)
        # A report being written as it is read counts from its progress= line only.
        self.assertEqual(media_figures.progress_frames(report % 250 + report % 500 + "frame="), 500)


class FrameRate(unittest.TestCase):
    def test_the_gap_before_a_joining_clients_first_frame_does_not_lower_the_rate(self):
        # 0.168 s to the second frame, then 249 frames 40 ms apart: a client that joined mid-way.
        self.assertAlmostEqual(media_figures.frame_rate([0.168] + [0.04] * 249), 25.0)

    def test_files_without_two_frames_give_no_rate(self):
        self.assertEqual(media_figures.frame_rate([]), 0.0)


class DecodeSample(unittest.TestCase):
    # Sizes by name: each camera's first file is its largest.
    SIZES = {"a/0": 90, "a/1": 50, "a/2": 60, "b/0": 99, "b/1": 10, "c/0": 5}
    FILES = {"a": ["a/0", "a/1", "a/2"], "b": ["b/0", "b/1"], "c": ["c/0"]}

    def test_cameras_that_joined_a_running_stream_are_checked_past_their_first_file(self):
        self.assertEqual(media_figures.decode_sample(self.FILES, 3, True, self.SIZES.get), ["a/2", "b/1", "c/0"])

    def test_cameras_that_started_the_stream_are_checked_on_their_largest_file(self):
        self.assertEqual(media_figures.decode_sample(self.FILES, 3, False, self.SIZES.get), ["a/0", "b/0", "c/0"])
        self.assertEqual(media_figures.decode_sample(self.FILES, 1, False, self.SIZES.get), ["a/0"])


class StraceTable(unittest.TestCase):
    def test_calls_are_read_under_their_heading_whether_or_not_errors_are_blank(self):
        self.assertEqual(media_figures.parse_strace_summary(STRACE),
                         {"write": 400, "read": 500, "futex": 100, "recvfrom": 20})

    def test_output_without_a_table_gives_no_rows(self):
        self.assertEqual(media_figures.parse_strace_summary("strace: attach: ptrace(PTRACE_SEIZE, 1): denied\n"), {})

    def test_top_calls_come_most_first_per_frame(self):
        rows = media_figures.parse_strace_summary(STRACE)
        self.assertEqual(media_figures.top_per_frame(rows, 100, 3), [("read", 5.0), ("write", 4.0), ("futex", 1.0)])


class CameraCounts(unittest.TestCase):
    def test_a_list_of_counts_in_the_order_given(self):
        self.assertEqual(media_figures.parse_cameras("1,4, 8,16"), [1, 4, 8, 16])

    def test_zero_a_word_an_empty_item_or_a_repeat_is_refused(self):
        for text in ("0", "1,x", "1,,4", "4,4", "-1"):
            with self.subTest(text=text), self.assertRaises(ValueError):
                media_figures.parse_cameras(text)


if __name__ == "__main__":
    unittest.main()
