#!/usr/bin/python3
"""The media benchmark's RTSP server on 127.0.0.1, on GStreamer's RTSP server, as
tests/media/rtsp_server.py is for the tests.

Serves /cam0 ... /camN-1, each one shared pipeline (every client of a mount gets the same packets)
sending an MP4 or MOV clip's H.264 video and its AAC or A-law audio as they are stored, paced by
the clip's timestamps. The pipeline starts with the first client of the mount and ends with the
clip. Prints "ready PORT" on standard output once it listens, and stops on SIGTERM or SIGINT.

    bench_rtsp_server.py --clip CLIP --mounts N --audio aac|alaw [--port PORT]
"""
import argparse
import signal
import sys

import gi

gi.require_version("Gst", "1.0")
gi.require_version("GstRtspServer", "1.0")
from gi.repository import GLib, Gst, GstRtspServer  # noqa: E402

# The demuxer's pads are linked by name; config-interval=-1 repeats the parameter sets before each
# key frame, so a client joining a running mount decodes from the next key frame on.
VIDEO = ("filesrc location={clip} ! qtdemux name=demux demux.video_0 ! queue ! h264parse "
         "! rtph264pay name=pay0 pt=96 config-interval=-1 ")
AUDIO = {"aac": "demux.audio_0 ! queue ! rtpmp4gpay name=pay1 pt=97",
         "alaw": "demux.audio_0 ! queue ! rtppcmapay name=pay1 pt=8"}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--clip", required=True)
    parser.add_argument("--mounts", type=int, required=True)
    parser.add_argument("--audio", choices=sorted(AUDIO), required=True)
    parser.add_argument("--port", type=int, default=0)
    args = parser.parse_args()

    Gst.init(None)
    server = GstRtspServer.RTSPServer()
    server.set_address("127.0.0.1")
    server.set_service(str(args.port))
    launch = "( " + VIDEO.format(clip=args.clip) + AUDIO[args.audio] + " )"
    for mount in range(args.mounts):
        factory = GstRtspServer.RTSPMediaFactory()
        factory.set_launch(launch)
        factory.set_shared(True)
        server.get_mount_points().add_factory("/cam%d" % mount, factory)
    if server.attach(None) == 0:
        print("failed to listen on port", args.port, file=sys.stderr)
        return 1

    loop = GLib.MainLoop()
    for sig in (signal.SIGTERM, signal.SIGINT):
        GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, sig, loop.quit)
    print("ready", server.get_bound_port(), flush=True)
    loop.run()
    return 0


if __name__ == "__main__":
    sys.exit(main())
