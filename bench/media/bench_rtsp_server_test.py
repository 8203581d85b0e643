#!/usr/bin/env python3
"""The media benchmark's RTSP server: every mount sends the clip's video and audio as stored, to
two clients of one mount at once as to one, and there is no mount past the count asked for."""
import os
import select
import subprocess
import sys
import tempfile
import time
import unittest

SERVER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "bench_rtsp_server.py")
# A small clip per audio kind, in the containers the benchmark uses for it.
CLIPS = {"aac": ("mp4", ["-c:a", "aac"], "aac"), "alaw": ("mov", ["-c:a", "pcm_alaw", "-ac", "1"], "pcm_alaw")}


def make_clip(folder, audio):
    container, codec, _ = CLIPS[audio]
    clip = os.path.join(folder, "clip-%s.%s" % (audio, container))
    rate = "48000" if audio == "aac" else "8000"
    subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "testsrc2=size=320x240:rate=25", "-f", "lavfi",
                    "-i", "sine=sample_rate=" + rate, "-t", "60", "-c:v", "libx264", "-preset", "ultrafast", "-g", "25",
                    "-bf", "0", "-pix_fmt", "yuv420p"] + codec + [clip], check=True, timeout=120)
    return clip


def probe(url):
    """The codecs of an RTSP URL's streams, as ffprobe sees them over TCP; a connection that sends
    nothing for 20 s ends it with an error rather than a hang."""
    out = subprocess.Popen(["ffprobe", "-v", "error", "-rtsp_transport", "tcp", "-timeout", "20000000",
                            "-show_entries", "stream=codec_name", "-of", "csv=p=0", url],
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    return out


class BenchRtspServer(unittest.TestCase):
    def setUp(self):
        folder = tempfile.TemporaryDirectory()
        self.addCleanup(folder.cleanup)
        self.folder = folder.name

    def serve(self, audio, mounts):
        server = subprocess.Popen(["/usr/bin/python3", SERVER, "--clip", make_clip(self.folder, audio), "--mounts",
                                   str(mounts), "--audio", audio], stdout=subprocess.PIPE, text=True)
        self.addCleanup(server.wait, 10)
        self.addCleanup(server.terminate)
        self.assertTrue(select.select([server.stdout], [], [], 20)[0], "the server said nothing within 20 s")
        line = server.stdout.readline()
        self.assertTrue(line.startswith("ready "), "the server's first line: %r" % line)
        return int(line.split()[1])

    def expect_streams(self, probes, codecs):
        for process in probes:
            try:
                out, err = process.communicate(timeout=90)
            except subprocess.TimeoutExpired:
                process.kill()
                self.fail("ffprobe said nothing within 90 s")
            self.assertEqual(process.returncode, 0, err)
            self.assertEqual(sorted(out.split()), sorted(codecs))

    def test_each_mount_sends_video_and_audio_to_two_clients_at_once(self):
        for audio in CLIPS:
            with self.subTest(audio=audio):
                port = self.serve(audio, 2)
                url = "rtsp://127.0.0.1:%d/cam%d"
                # Two clients on /cam1 at once (the second joining the running pipeline a second
                # later, as the benchmark's second side does), then /cam0 alone.
                first = probe(url % (port, 1))
                time.sleep(1)
                self.expect_streams([first, probe(url % (port, 1))], ["h264", CLIPS[audio][2]])
                self.expect_streams([probe(url % (port, 0))], ["h264", CLIPS[audio][2]])

    def test_no_mount_past_the_count(self):
        port = self.serve("aac", 1)
        process = probe("rtsp://127.0.0.1:%d/cam1" % port)
        process.communicate(timeout=30)
        self.assertNotEqual(process.returncode, 0)


if __name__ == "__main__":
    sys.exit(unittest.main())
