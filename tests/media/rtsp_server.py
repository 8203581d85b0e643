#!/usr/bin/python3
"""An RTSP server on 127.0.0.1 for the media tests, on GStreamer's RTSP server.

Serves /stream: a live test pattern in H.264 (320x240, 25 frames a second, a key frame every
second) with an A-law tone; with --ts, the pattern and an AAC tone multiplexed into MPEG-TS (the
AAC in ADTS frames), sent as one RTP stream; with --clip, the H.264 video of an MP4 clip at its own
pace, from its start at each connection. Prints "ready PORT" on standard output once it listens,
and stops on SIGTERM or SIGINT.

    rtsp_server.py [--port PORT] [--no-audio] [--ts] [--clip CLIP.mp4] [--user NAME:PASSWORD [--digest]]

With --user, a client must give that name and password (Basic authentication, or Digest with
--digest).

PORT 0 (the default) takes a free port; a test that restarts the server passes the port it got.
"""
import argparse
import signal
import sys

import gi

gi.require_version("Gst", "1.0")
gi.require_version("GstRtsp", "1.0")
gi.require_version("GstRtspServer", "1.0")
from gi.repository import GLib, Gst, GstRtsp, GstRtspServer  # noqa: E402

PATTERN = ("videotestsrc is-live=true pattern=ball ! video/x-raw,width=320,height=240,framerate=25/1 "
           "! x264enc tune=zerolatency speed-preset=ultrafast key-int-max=25 bframes=0 "
           "! rtph264pay name=pay0 pt=96 config-interval=1")
TONE = (" audiotestsrc is-live=true wave=sine freq=440 ! audio/x-raw,rate=8000,channels=1 "
        "! alawenc ! rtppcmapay name=pay1 pt=8")
TS = ("videotestsrc is-live=true pattern=ball ! video/x-raw,width=320,height=240,framerate=25/1 "
      "! x264enc tune=zerolatency speed-preset=ultrafast key-int-max=25 bframes=0 ! h264parse "
      "! mpegtsmux name=mux ! rtpmp2tpay name=pay0 pt=33 "
      "audiotestsrc is-live=true wave=sine freq=440 ! audio/x-raw,rate=8000,channels=1 "
      "! voaacenc ! aacparse ! mux.")
CLIP = "filesrc location={} ! qtdemux ! h264parse ! rtph264pay name=pay0 pt=96 config-interval=1"


def serve(port, mounts, user=None, digest=False):
    """Serves mounts ({path: (launch, shared)}) on 127.0.0.1 and port (0: a free one) until SIGTERM
    or SIGINT; prints "ready PORT" once it listens. Returns the process's exit status. user:
    "name:password" that every client must give."""
    Gst.init(None)
    server = GstRtspServer.RTSPServer()
    server.set_address("127.0.0.1")
    server.set_service(str(port))
    if user:
        name, password = user.split(":", 1)
        auth = GstRtspServer.RTSPAuth()
        token = GstRtspServer.RTSPToken()
        token.set_string("media.factory.role", "viewer")
        if digest:
            auth.add_digest(name, password, token)
            auth.set_supported_methods(GstRtsp.RTSPAuthMethod.DIGEST)
        else:
            auth.add_basic(GstRtspServer.RTSPAuth.make_basic(name, password), token)
        server.set_auth(auth)
    for path, (launch, shared) in mounts.items():
        factory = GstRtspServer.RTSPMediaFactory()
        factory.set_launch("( " + launch + " )")
        factory.set_shared(shared)
        if user:
            permissions = GstRtspServer.RTSPPermissions()
            permissions.add_role_from_structure(Gst.Structure.new_from_string(
                "viewer, media.factory.access=(boolean)true, media.factory.construct=(boolean)true"))
            factory.set_permissions(permissions)
        server.get_mount_points().add_factory(path, factory)
    if server.attach(None) == 0:
        print("failed to listen on port", port, file=sys.stderr)
        return 1

    loop = GLib.MainLoop()
    for sig in (signal.SIGTERM, signal.SIGINT):
        GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, sig, loop.quit)
    print("ready", server.get_bound_port(), flush=True)
    loop.run()
    return 0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--no-audio", action="store_true")
    parser.add_argument("--ts", action="store_true")
    parser.add_argument("--clip")
    parser.add_argument("--user")
    parser.add_argument("--digest", action="store_true")
    args = parser.parse_args()
    if args.clip:
        mount = (CLIP.format(args.clip), False)
    else:
        mount = (TS if args.ts else PATTERN + ("" if args.no_audio else TONE), True)
    return serve(args.port, {"/stream": mount}, args.user, args.digest)


if __name__ == "__main__":
    sys.exit(main())
