#!/usr/bin/env bash
# The dashboard window in the running tray app, signed in against vorlanta-sandbox, under a
# private X server with a tray host: RSS before any web view (and whether the web engine is
# mapped), "Open Dashboard" -> the web application has asked the API for the projects (its
# page is up and signed in), RSS with the dashboard open and 10 s after it closed. Reference, in
# the same run: bench/web_reference.cpp (a plain QWebEngineView with the same token script)
# from its start to the same request, and its RSS then.
#   bench/web_bench.sh [--runs N (3)]      (builds build/sandbox; needs its port free)
set -euo pipefail
cd "$(dirname "$0")/.."

build=build/sandbox
if [ "${1:-}" != "--inside" ]; then
    [ -f "$build/CMakeCache.txt" ] || cmake --preset sandbox >/dev/null
    cmake --build "$build" --target vorlanta-creator vorlanta-web vorlanta vorlanta-sandbox \
        web_reference >/dev/null
    exec scripts/with-test-session "$0" --inside "$@"
fi
shift
runs=3
[ "${1:-}" = "--runs" ] && runs=$2

work=$(mktemp -d)
trap 'pkill -f "$build/src/app/vorlanta-creator" 2>/dev/null || true; kill "${sandbox_pid:-}" 2>/dev/null || true; sleep 0.5; rm -rf "$work"' EXIT
export HOME="$work/home" XDG_DATA_HOME="$work/data" XDG_CONFIG_HOME="$work/config"
export XDG_CACHE_HOME="$work/cache"
mkdir -p "$HOME"
port=$(sed -n 's/^VORLANTA_SANDBOX_PORT:STRING=//p' "$build/CMakeCache.txt")
"$build/tools/sandbox/vorlanta-sandbox" --port "${port:-8765}" >"$work/sandbox.out" 2>"$work/requests" &
sandbox_pid=$!
for _ in $(seq 1 50); do grep -q '^Demo token: ' "$work/sandbox.out" 2>/dev/null && break; sleep 0.1; done
token=$(sed -n 's/^Demo token: //p' "$work/sandbox.out")
root=$(sed -n 's/^Sandbox listening on //p' "$work/sandbox.out")
"$build/src/cli/vorlanta" login --token "$token" >/dev/null

now_ms() { date +%s%3N; }
rss_mib() { awk '/VmRSS/ {printf "%.0f", $2 / 1024}' "/proc/$1/status"; }
median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR + 1) / 2)]}'; }
# Milliseconds from now until the sandbox has seen one more projects request than before.
until_projects_ms() {
    local start=$1 before=$2
    for _ in $(seq 1 3000); do
        [ "$(grep -c '^GET /api/v1/creator/projects/ 200' "$work/requests")" -gt "$before" ] &&
            { echo $(($(now_ms) - start)); return; }
        sleep 0.01
    done
    echo "web_bench: the page never asked for the projects" >&2
    exit 1
}
projects() { grep -c '^GET /api/v1/creator/projects/ 200' "$work/requests" || true; }

# The app, signed in from the keyring, with no window open.
"$build/src/app/vorlanta-creator" >"$work/app.log" 2>&1 &
app=$!
for _ in $(seq 1 100); do grep -q 'authStatus to loggedIn' "$work/app.log" && break; sleep 0.1; done
sleep 3
before=$(rss_mib "$app")
engine=$(grep -c libQt6WebEngineCore "/proc/$app/maps" || true)
# Tray icon (trayer at the top right), the popover's gear, "Open Dashboard".
xdotool mousemove 1268 12 click 1
sleep 0.8
xdotool mousemove 1253 50 click 1
sleep 0.6
count=$(projects)
start=$(now_ms)
xdotool mousemove 1180 116 click 1
open_ms=$(until_projects_ms "$start" "$count")
sleep 2
open_rss=$(rss_mib "$app")
window=$(xdotool search --onlyvisible --name '^Vorlanta Creator$' | while read -r id; do
    [ "$(xdotool getwindowgeometry "$id" | sed -n 's/.*Geometry: //p')" = 1200x800 ] && echo "$id"
done | head -1)
bench/close_window.py "$window"
sleep 10
closed_rss=$(rss_mib "$app")

# The reference, cold each time like the app's first dashboard.
ref_ms=$(for i in $(seq "$runs"); do
    count=$(projects)
    start=$(now_ms)
    "$build/bench/web_reference" "$root" "$token" "$work/ref-$i" >/dev/null 2>&1 &
    pid=$!
    until_projects_ms "$start" "$count"
    sleep 2
    rss_mib "$pid" >"$work/ref-rss"
    kill "$pid"; wait "$pid" 2>/dev/null || true
done | median)
ref_rss=$(cat "$work/ref-rss")

echo "== web_bench: $build (RelWithDebInfo), sandbox at $root"
echo "before any web view: RSS ${before} MiB, web engine mapped: $([ "$engine" = 0 ] && echo no || echo yes)"
echo "Open Dashboard -> page signed in with its data: ${open_ms} ms (first web view of the run, engine start included); reference ${ref_ms} ms ($(awk "BEGIN {printf \"%.2f\", $open_ms / $ref_ms}")x)"
echo "RSS with the dashboard open: ${open_rss} MiB (reference program: ${ref_rss} MiB); 10 s after closing it: ${closed_rss} MiB"
