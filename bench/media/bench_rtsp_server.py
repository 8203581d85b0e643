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
import os
import sys

# The serving loop is the test server's.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests", "media"))
import rtsp_server  # noqa: E402

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
    launch = VIDEO.format(clip=args.clip) + AUDIO[args.audio]
    return rtsp_server.serve(args.port, {"/cam%d" % mount: (launch, True) for mount in range(args.mounts)})


if __name__ == "__main__":
    sys.exit(main())
