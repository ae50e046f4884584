#!/usr/bin/env bash
# Service request -> quick-project window visible, with the app already running (warm) and with
# no app running (cold, the client starts it). Reference, measured in the same run: starting and
# ending the client alone (`vorlanta-creator-service` without arguments prints its usage).
#   bench/service_bench.sh [--runs N]        (builds build/dev first; runs in a private session)
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "${1:-}" != "--inside" ]; then
    cmake --preset dev >/dev/null
    cmake --build --preset dev --target vorlanta-creator vorlanta-creator-service >/dev/null
    exec scripts/with-test-session "$0" --inside "$@"
fi
shift
runs=5
[ "${1:-}" = "--runs" ] && runs=$2

build=build/dev
work=$(mktemp -d)
trap 'pkill -f "$build/src/app/vorlanta-creator" 2>/dev/null || true; sleep 0.5; rm -rf "$work"' EXIT
export HOME="$work/home" XDG_DATA_HOME="$work/data" XDG_CONFIG_HOME="$work/config"
export XDG_CACHE_HOME="$work/cache"
mkdir -p "$HOME"
printf 'frames' >"$work/clip.mov"
client=$build/src/service/vorlanta-creator-service
export PATH="$PWD/$build/src/app:$PATH" # where the client finds the app to start

now_ms() { date +%s%3N; }
# Milliseconds from the request until the window is mapped, then the window is closed again.
request_ms() {
    local start end id
    start=$(now_ms)
    "$client" quickProject "$work/clip.mov" >/dev/null 2>&1
    id=$(timeout 30 xdotool search --sync --onlyvisible --name '^Quick Project$' | head -1)
    [ -n "$id" ] || { echo "service_bench: no window appeared" >&2; exit 1; }
    end=$(now_ms)
    bench/close_window.py "$id"
    while xdotool search --onlyvisible --name '^Quick Project$' >/dev/null 2>&1; do sleep 0.02; done
    echo $((end - start))
}
median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR + 1) / 2)]}'; }

reference=$(for _ in $(seq "$runs"); do
    start=$(now_ms); "$client" >/dev/null 2>&1 || true; echo $(($(now_ms) - start))
done | median)
cold=$(request_ms)
warm=$(for _ in $(seq "$runs"); do request_ms; done | median)
echo "service request -> window visible: warm ${warm} ms (median of ${runs}; goal <= 300 ms), cold ${cold} ms (app started by the client)"
echo "reference: the client alone starts and ends in ${reference} ms; warm is $(awk "BEGIN {printf \"%.1f\", $warm / ($reference > 0 ? $reference : 1)}")x that"
