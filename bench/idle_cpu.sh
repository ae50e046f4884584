#!/usr/bin/env bash
# CPU and wakeups of the idle application: the release build started offscreen in a private
# home, measured over an interval once it reports ready, then ended with SIGTERM.
#
# usage: bench/idle_cpu.sh [SECONDS (60)] [APP (build/bench/src/app/vorlanta-creator)]
set -euo pipefail

seconds="${1:-60}"
root="$(cd "$(dirname "$0")/.." && pwd)"
app="${2:-$root/build/bench/src/app/vorlanta-creator}"
if [[ ! -x "$app" ]]; then
    echo "no executable at $app (build the vorlanta-creator target first)" >&2
    exit 1
fi

work="$(mktemp -d "${TMPDIR:-/tmp}/idle_cpu.XXXXXX")"
pid=""
cleanup() {
    if [[ -n "$pid" ]] && kill -0 "$pid" 2>/dev/null; then
        kill -KILL "$pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/home" "$work/run"
chmod 700 "$work/run"
log="$work/output.log"
: >"$log"
env HOME="$work/home" XDG_DATA_HOME="$work/home/.local/share" \
    XDG_CONFIG_HOME="$work/home/.config" XDG_CACHE_HOME="$work/home/.cache" \
    XDG_RUNTIME_DIR="$work/run" QT_QPA_PLATFORM=offscreen \
    "$app" >"$log" 2>&1 &
pid=$!

# Ready once the launch task has run.
for _ in $(seq 300); do
    if grep -q "\[AppDelegate\] App state/provider ready" "$log"; then
        break
    fi
    if ! kill -0 "$pid" 2>/dev/null; then
        echo "the application ended before it was ready:" >&2
        tail -n 20 "$log" >&2
        exit 1
    fi
    sleep 0.1
done
if ! grep -q "\[AppDelegate\] App state/provider ready" "$log"; then
    echo "the application did not report ready within 30 s" >&2
    exit 1
fi
sleep 1 # the collector and worker start right after the line: let that settle

ticks="$(getconf CLK_TCK)"

# utime + stime of the whole process, in clock ticks; the fields after the command name.
cpu_ticks() {
    local rest
    rest="$(sed 's/^.*) //' "/proc/$pid/stat")"
    awk '{ print $12 + $13 }' <<<"$rest"
}

# Nanoseconds on a CPU, summed over the live threads: finer than the clock ticks of stat.
run_ns() {
    cat /proc/"$pid"/task/*/schedstat 2>/dev/null | awk '{ sum += $1 } END { printf "%d", sum }'
}

# Per thread: id, name and voluntary context switches, then their sum under "total".
switches() {
    awk '/^Name:/ { name = substr($0, 7); gsub(/ /, "_", name) }
         /^Pid:/ { tid = $2 }
         /^voluntary_ctxt_switches:/ { print tid, name, $2; total += $2 }
         END { print "total total", total }' /proc/"$pid"/task/*/status
}

start_ns="$(date +%s%N)"
cpu_before="$(cpu_ticks)"
ns_before="$(run_ns)"
switches >"$work/switches.before"
sleep "$seconds"
end_ns="$(date +%s%N)"
cpu_after="$(cpu_ticks)"
ns_after="$(run_ns)"
switches >"$work/switches.after"

kill -TERM "$pid"
status=0
wait "$pid" || status=$?
pid=""

awk -v before="$cpu_before" -v after="$cpu_after" -v ticks="$ticks" \
    -v ns="$((end_ns - start_ns))" -v run="$((ns_after - ns_before))" '
    BEGIN {
        elapsed = ns / 1e9
        cpu = (after - before) / ticks
        printf "idle: %.1f s after ready: CPU %.2f s (utime+stime), %.3f %% of one core\n",
            elapsed, cpu, 100 * cpu / elapsed
        printf "idle: on-CPU time of the threads (schedstat): %.2f ms, %.4f %% of one core\n",
            run / 1e6, 100 * run / ns
    }'

# Threads present at both reads; the difference is what they did over the interval.
awk -v ns="$((end_ns - start_ns))" '
    FNR == NR { before[$1] = $3; next }
    ($1 in before) {
        delta = $3 - before[$1]
        if ($1 == "total") {
            total = delta
        } else if (delta > 0) {
            busy = busy sprintf("%s%s %d", busy == "" ? "" : ", ", $2, delta)
        }
    }
    END {
        elapsed = ns / 1e9
        printf "voluntary context switches: %d over %.1f s = %.2f wakeups/s\n", total, elapsed,
            total / elapsed
        printf "by thread: %s\n", busy == "" ? "none" : busy
    }' "$work/switches.before" "$work/switches.after"
echo "SIGTERM: exit status $status"
