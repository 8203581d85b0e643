#!/usr/bin/env bash
# Makes the media tests' clips in the folder given, with the ffmpeg tool: 320x240 at 25 frames a
# second, a key frame every second, a few seconds each, with a numbered test pattern and a tone.
#   make_clips.sh FOLDER [FFMPEG]
set -euo pipefail
out=$1
ffmpeg=${2:-ffmpeg}
mkdir -p "$out"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

video=(-f lavfi -i testsrc=size=320x240:rate=25)
tone=(-f lavfi -i sine=frequency=440:sample_rate=8000)
h264=(-c:v libx264 -preset ultrafast -g 25 -keyint_min 25 -sc_threshold 0 -pix_fmt yuv420p -bf 0)
h265=(-c:v libx265 -preset ultrafast -x265-params keyint=25:min-keyint=25:scenecut=0:bframes=0:log-level=error
      -pix_fmt yuv420p -tag:v hvc1)
run() { "$ffmpeg" -nostdin -v error -y "$@"; }

# H.264 with AAC, 6 s: the clip of the record-and-verify test (three 2 s segments a loop).
run "${video[@]}" "${tone[@]}" -t 6 "${h264[@]}" -c:a aac -b:a 32k "$tmp/h264_aac.mp4"
# H.264 with G.711 A-law, 4 s.
run "${video[@]}" "${tone[@]}" -t 4 "${h264[@]}" -c:a pcm_alaw -ac 1 "$tmp/h264_alaw.mov"
# H.265 with G.711 mu-law, 4 s.
run "${video[@]}" "${tone[@]}" -t 4 "${h265[@]}" -c:a pcm_mulaw -ac 1 "$tmp/h265_ulaw.mov"
# H.264 at about 4 Mbit/s (a noisy picture), 4 s, no audio: fills a small disk or a slow one fast.
run "${video[@]}" -t 4 -vf noise=alls=60:allf=t "${h264[@]}" -b:v 4M -maxrate 4M -bufsize 1M "$tmp/busy.mp4"
# MPEG-TS with H.264 and AAC, 4 s: the AAC in ADTS frames, its configuration in their headers only.
run "${video[@]}" "${tone[@]}" -t 4 "${h264[@]}" -c:a aac -b:a 32k -f mpegts "$tmp/h264_aac.ts"
# MPEG-TS with H.264 B-frames, 2 s, no audio: the first frames' decode times lie before the file's
# start time.
run "${video[@]}" -t 2 "${h264[@]}" -bf 2 -an -f mpegts "$tmp/bframes.ts"
# H.264 with two B-frames between reference frames, 10 s, no audio: served over RTSP, whose first
# frames then come without decode times.
run "${video[@]}" -t 10 "${h264[@]}" -bf 2 -an "$tmp/bframes.mp4"
# Timestamps that jump back: two 3 s MPEG-TS clips that both start at 0, joined byte for byte, so the
# second half repeats the first half's timestamps.
run "${video[@]}" -t 3 "${h264[@]}" -an -f mpegts "$tmp/part.ts"
cat "$tmp/part.ts" "$tmp/part.ts" >"$tmp/jump_back.ts"
rm "$tmp/part.ts"

mv "$tmp"/* "$out"/
