#!/usr/bin/env bash
# Runs the built core under the supervisor stand-in (parentsim) until Ctrl-C, which parentsim turns
# into the parent's stop packet; lines typed here ("TARGET COMMAND [PAYLOAD]", "stop", "close") go to
# the core as parent packets.
#
#   run.sh BUILD        records: LogPI, MediaSource, SegmentRecorder and WebView in the working folder
#                       run/, with a camera that loops a 10 s H.264 + AAC clip made here by the ffmpeg
#                       tool, and the web view on http://127.0.0.1:8080/ (loopback only, no users)
#   run.sh BUILD demo   the synthetic demo: LogPI, DemoSource and DemoRecorder in run-demo/
#
# The core loads every plugin beside it, so each run gets its own copy of the core with exactly its
# plugins, in WORK/bin/ (the core works wherever it is copied together with its plugin folders).
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
mode=${2:-media}

case $mode in
  media) work=run; plugins=(LogPI MediaSource SegmentRecorder WebView) ;;
  demo) work=run-demo; plugins=(LogPI DemoSource DemoRecorder) ;;
  *) echo "run.sh: unknown mode '$mode' (media or demo)" >&2; exit 2 ;;
esac

mkdir -p "$work/bin/plugins" "$work/bin/protected-plugins"
cd "$work"
work=$(pwd)
rm -f bin/plugins/*.so
cp "$build/dvrcore" bin/dvrcore
for plugin in "${plugins[@]}"; do
  if [ ! -f "$build/plugins/$plugin.so" ]; then
    echo "run.sh: $build/plugins/$plugin.so was not built" >&2
    exit 1
  fi
  cp "$build/plugins/$plugin.so" bin/plugins/
done

if [ "$mode" = demo ]; then
  exec "$build/parentsim" bin/dvrcore
fi

# The camera: a 10 s clip of a test picture with a tone, one key frame a second, looped by the source.
if [ ! -s clips/camera1.mp4 ]; then
  mkdir -p clips
  echo "run.sh: making the test clip run/clips/camera1.mp4 with the ffmpeg tool"
  ffmpeg -v error -y -f lavfi -i testsrc2=size=640x360:rate=25 -f lavfi -i sine=frequency=440:sample_rate=48000 \
    -t 10 -c:v libx264 -preset veryfast -g 25 -pix_fmt yuv420p -c:a aac -b:a 64k clips/camera1.mp4.part.mp4
  mv clips/camera1.mp4.part.mp4 clips/camera1.mp4
fi
[ -f media_source.xml ] || cat > media_source.xml <<'EOF'
<MediaSource>
  <Camera name="camera1" url="file:clips/camera1.mp4"/>
</MediaSource>
EOF
[ -f segment_recorder.xml ] || cat > segment_recorder.xml <<'EOF'
<SegmentRecorder folder="recordings" segmentSeconds="20"/>
EOF
# The web view: this machine only, so no user is needed.
[ -f web_view.xml ] || cat > web_view.xml <<'EOF'
<WebView address="127.0.0.1" port="8080"/>
EOF
address=$(sed -n 's/.*address="\([^"]*\)".*/\1/p' web_view.xml | head -n 1)
port=$(sed -n 's/.*port="\([0-9]*\)".*/\1/p' web_view.xml | head -n 1)
scheme=http
if grep -q 'certificate=' web_view.xml; then scheme=https; fi
url="$scheme://${address:-127.0.0.1}:${port:-8080}/"

cat <<EOF
run.sh: recording camera1 (run/media_source.xml) into $work/recordings/<camera>/<YYYY-MM-DD>/<HH-MM-SS>.mp4
        (UTC, a new file about every 20 s: run/segment_recorder.xml); Ctrl-C stops.
run.sh: watch it live, play and export the recordings in a browser: $url (run/web_view.xml)
EOF
# Ctrl-C reaches parentsim, which stops the core; this script goes on to list what was recorded.
trap '' INT
status=0
"$build/parentsim" bin/dvrcore || status=$?
trap - INT

echo
echo "run.sh: the recordings (an index.txt per day lists them):"
find recordings -name '*.mp4' 2>/dev/null | sort | sed 's/^/  run\//' | tail -n 20
latest=$(find recordings -name '*.mp4' 2>/dev/null | sort | tail -n 1)
if [ -n "$latest" ]; then
  cat <<EOF
Play one with:   ffplay run/$latest
Describe it:     ffprobe -hide_banner run/$latest
Check it whole:  ffmpeg -v error -i run/$latest -f null -   (prints nothing when every frame decodes)
EOF
fi
echo "In a browser:    $url (while the core runs: make run again)"
exit $status
