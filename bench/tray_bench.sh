#!/usr/bin/env bash
# The tray application seen from outside, under a private X server with a tray host (trayer),
# D-Bus session and keyring, signed in against vorlanta-sandbox when the build points at it:
#   (a) process start -> icon embedded in the tray, (b) click on the icon -> popover shown,
#   (c) idle RSS and CPU with no window open, and whether the web engine is loaded.
# Reference, measured in the same run: bench/tray_reference.cpp (a minimal Qt tray program with
# a plain 300x400 window on click) doing the same steps; for (a) also xmessage's start -> mapped.
#   bench/tray_bench.sh [--build DIR (build/bench-tray)] [--runs N (5)] [--idle-seconds S (60)]
set -euo pipefail
cd "$(dirname "$0")/.."

build=build/bench-tray
runs=5
idle=60
inside=0
while [ $# -gt 0 ]; do
    case "$1" in
    --inside) inside=1 ;;
    --build) build=$2 && shift ;;
    --runs) runs=$2 && shift ;;
    --idle-seconds) idle=$2 && shift ;;
    *) echo "usage: $0 [--build DIR] [--runs N] [--idle-seconds S]" >&2 && exit 2 ;;
    esac
    shift
done

if [ "$inside" = 0 ]; then
    if [ ! -f "$build/CMakeCache.txt" ]; then
        cmake --preset sandbox -B "$build" -DVORLANTA_BUILD_TESTS=OFF >/dev/null
    fi
    cmake --build "$build" --target vorlanta-creator vorlanta vorlanta-sandbox tray_reference \
        >/dev/null
    exec scripts/with-test-session "$0" --inside --build "$build" --runs "$runs" \
        --idle-seconds "$idle"
fi

work=$(mktemp -d)
pids=()
# Ends a process this script started and waits until it is gone (most are not our children).
stop() {
    kill -TERM "$1" 2>/dev/null || return 0
    for _ in $(seq 200); do
        kill -0 "$1" 2>/dev/null || return 0
        sleep 0.05
    done
    kill -KILL "$1" 2>/dev/null || true
}
cleanup() {
    for pid in "${pids[@]}"; do
        [ "$pid" -gt 0 ] && stop "$pid"
    done
    rm -rf "$work"
}
trap cleanup EXIT
# A private data folder and runtime directory: no other instance is met, nothing of the user's.
export HOME="$work/home" XDG_DATA_HOME="$work/data" XDG_CONFIG_HOME="$work/config"
export XDG_CACHE_HOME="$work/cache" XDG_RUNTIME_DIR="$work/run"
mkdir -p "$HOME" && mkdir -m 700 "$XDG_RUNTIME_DIR"
app=$build/src/app/vorlanta-creator
reference=$build/bench/tray_reference
probe=bench/tray_probe.py

# Signed in when the build's service is the sandbox: the sandbox on that port, the token saved
# with the command-line client, as a user's earlier sign-in would have.
signed_in=0
if grep -q '^VORLANTA_USE_SANDBOX:BOOL=ON' "$build/CMakeCache.txt"; then
    port=$(sed -n 's/^VORLANTA_SANDBOX_PORT:STRING=//p' "$build/CMakeCache.txt")
    "$build/tools/sandbox/vorlanta-sandbox" --port "$port" --quiet >"$work/sandbox.out" 2>&1 &
    pids+=($!)
    for _ in $(seq 50); do
        grep -q '^Demo token: ' "$work/sandbox.out" && break
        sleep 0.1
    done
    token=$(sed -n 's/^Demo token: //p' "$work/sandbox.out")
    [ -n "$token" ] || { echo "tray_bench: the sandbox did not start on port $port:" \
        "$(cat "$work/sandbox.out")" >&2 && exit 1; }
    "$build/src/cli/vorlanta" login --token "$token" >/dev/null
    signed_in=1
else
    echo "tray_bench: $build is not built against the sandbox (VORLANTA_USE_SANDBOX=OFF):" \
        "measuring signed out" >&2
fi

median() { sort -n | awk '{a[NR] = $1} END {print a[int((NR + 1) / 2)]}'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2f", a / (b > 0 ? b : 1)}'; }

# (a) Start -> icon, alternating the programs; the first round warms the page cache, unreported.
for i in $(seq 0 "$runs"); do
    for name in app reference xmessage; do
        case $name in
        app) read -r pid ms _ < <($probe icon "$work/app.log" "$app") ;;
        reference) read -r pid ms _ < <($probe icon "$work/reference.log" "$reference") ;;
        xmessage) read -r pid ms _ < <($probe map "$work/xmessage.log" xmessage -timeout 30 tray) ;;
        esac
        pids+=("$pid")
        stop "$pid"
        [ "$i" -gt 0 ] && echo "$ms" >>"$work/start.$name"
    done
done
start_app=$(median <"$work/start.app")
start_reference=$(median <"$work/start.reference")
start_xmessage=$(median <"$work/start.xmessage")

# (c) Idle: both running side by side, signed in and settled, over the same interval.
read -r app_pid _ app_icon < <($probe icon "$work/idle.log" "$app")
pids+=("$app_pid")
read -r reference_pid _ reference_icon < <($probe icon "$work/reference.log" "$reference")
pids+=("$reference_pid")
if [ "$signed_in" = 1 ]; then
    for _ in $(seq 150); do
        grep -q 'authStatus to loggedIn' "$work/idle.log" && break
        sleep 0.1
    done
    grep -q 'authStatus to loggedIn' "$work/idle.log" ||
        { echo "tray_bench: the application did not sign in" >&2 && exit 1; }
fi
sleep 5
rss_kib() { awk '/^VmRSS:/ {print $2}' "/proc/$1/status"; }
cpu_ticks() { sed 's/^.*) //' "/proc/$1/stat" | awk '{print $12 + $13}'; }
run_ns() { cat /proc/"$1"/task/*/schedstat 2>/dev/null | awk '{s += $1} END {printf "%d", s}'; }
begin_ns=$(date +%s%N)
app_ticks=$(cpu_ticks "$app_pid") app_ns=$(run_ns "$app_pid")
reference_ticks=$(cpu_ticks "$reference_pid") reference_ns=$(run_ns "$reference_pid")
sleep "$idle"
elapsed_ns=$(($(date +%s%N) - begin_ns))
app_ticks=$(($(cpu_ticks "$app_pid") - app_ticks)) app_ns=$(($(run_ns "$app_pid") - app_ns))
reference_ticks=$(($(cpu_ticks "$reference_pid") - reference_ticks))
reference_ns=$(($(run_ns "$reference_pid") - reference_ns))
app_rss=$(rss_kib "$app_pid")
reference_rss=$(rss_kib "$reference_pid")
web_engine=$(grep -c 'libQt6WebEngine' "/proc/$app_pid/maps" || true)
hz=$(getconf CLK_TCK)
percent() { awk -v t="$1" -v hz="$hz" -v ns="$elapsed_ns" 'BEGIN {printf "%.3f", 100 * t / hz / (ns / 1e9)}'; }
percent_ns() { awk -v n="$1" -v ns="$elapsed_ns" 'BEGIN {printf "%.4f", 100 * n / ns}'; }

# (b) Click -> popover, alternating; the first round is unreported again.
for i in $(seq 0 "$runs"); do
    app_ms=$($probe click "$app_icon")
    reference_ms=$($probe click "$reference_icon")
    if [ "$i" -gt 0 ]; then
        echo "$app_ms" >>"$work/click.app"
        echo "$reference_ms" >>"$work/click.reference"
    fi
    sleep 0.6 # not a double click, and past the app's pause that ignores one after a close
done
click_app=$(median <"$work/click.app")
click_reference=$(median <"$work/click.reference")
rss_after_clicks=$(rss_kib "$app_pid")
stop "$reference_pid"
stop "$app_pid"

state=$([ "$signed_in" = 1 ] && echo "signed in" || echo "signed out")
echo "== tray_bench: $app ($state), medians of $runs runs"
echo "(a) start -> icon in the tray: ${start_app} ms (goal <= 500 ms); reference: minimal Qt" \
    "tray program ${start_reference} ms ($(ratio "$start_app" "$start_reference")x)," \
    "xmessage start -> mapped ${start_xmessage} ms"
echo "(b) click -> popover shown: ${click_app} ms (goal <= 100 ms); reference: minimal Qt tray" \
    "program's plain window ${click_reference} ms ($(ratio "$click_app" "$click_reference")x)"
echo "(c) idle over $((elapsed_ns / 1000000000)) s, no window open: RSS $((app_rss / 1024)) MiB" \
    "(goal <= 80 MiB; reference $((reference_rss / 1024)) MiB," \
    "$(ratio "$app_rss" "$reference_rss")x), CPU $(percent "$app_ticks") % of one core" \
    "(utime+stime; goal <= 0.1 %; reference $(percent "$reference_ticks") %)," \
    "on-CPU $(percent_ns "$app_ns") % (schedstat; reference $(percent_ns "$reference_ns") %)"
echo "    web engine loaded: $([ "$web_engine" -gt 0 ] && echo yes || echo no);" \
    "RSS after the $((runs + 1)) popover rounds: $((rss_after_clicks / 1024)) MiB"
