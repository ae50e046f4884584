#!/usr/bin/env bash
# The README's table of figures from one run: tray_bench.sh, web_bench.sh and upload_bench.sh on
# build/sandbox (optimised, pointed at the local sandbox), then the Debian package of the release
# preset (scripts/package) for its installed size. Prints each bench's own output, then the table
# in Markdown.
#   bench/figures.sh [--runs N (5)] [--idle-seconds S (60)]
set -euo pipefail
cd "$(dirname "$0")/.."

runs=5
idle=60
while [ $# -gt 0 ]; do
    case "$1" in
    --runs) runs=$2 && shift ;;
    --idle-seconds) idle=$2 && shift ;;
    *) echo "usage: $0 [--runs N] [--idle-seconds S]" >&2 && exit 2 ;;
    esac
    shift
done

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
build=build/sandbox
[ -f "$build/CMakeCache.txt" ] || cmake --preset sandbox >/dev/null
cmake -B "$build" -DVORLANTA_BUILD_BENCH=ON >/dev/null
cmake --build "$build" --target vorlanta vorlanta-sandbox >/dev/null

bench/tray_bench.sh --build "$build" --runs "$runs" --idle-seconds "$idle" | tee "$out/tray"
bench/web_bench.sh --runs 3 | tee "$out/web"
bench/upload_bench.sh --build "$build" --files 0 | tee "$out/upload"
scripts/package | tee "$out/package"

# The first number after the text in the bench's output.
pick() { grep -o "$2[^0-9]*[0-9.]*" "$out/$1" | head -n 1 | grep -o '[0-9.]*$'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2f", a / (b > 0 ? b : 1)}'; }

start=$(pick tray 'start -> icon in the tray:')
start_ref=$(pick tray 'minimal Qt tray program')
rss=$(pick tray 'no window open: RSS')
rss_ref=$(pick tray 'goal <= 80 MiB; reference')
cpu=$(grep -o 'x), CPU [0-9.]*' "$out/tray" | grep -o '[0-9.]*$')
cpu_ref=$(grep -o 'goal <= 0.1 %; reference [0-9.]*' "$out/tray" | grep -o '[0-9.]*$')
open=$(pick web 'RSS with the dashboard open:')
open_ref=$(pick web 'reference program:')
closed=$(pick web '10 s after closing it:')
ours_mbs=$(grep '^vorlanta create:' "$out/upload" | grep -o '[0-9.]* MB/s' | grep -o '^[0-9.]*')
curl_mbs=$(grep '^curl -T:' "$out/upload" | grep -o '[0-9.]* MB/s' | grep -o '^[0-9.]*')
ours_rss=$(grep '^vorlanta create:' "$out/upload" | grep -o 'peak RSS [0-9.]*' | grep -o '[0-9.]*$')
curl_rss=$(grep '^curl -T:' "$out/upload" | grep -o 'peak RSS [0-9.]*' | grep -o '[0-9.]*$')
deb=$(ls build/release/vorlanta-creator_*.deb)

cat <<EOF

| figure | Vorlanta Creator | reference (same run) | ratio |
|---|---|---|---|
| start → icon in the tray, signed in (median of $runs) | $start ms | minimal Qt tray program: $start_ref ms | $(ratio "$start" "$start_ref") |
| idle, signed in, no window: RSS | $rss MiB | minimal Qt tray program: $rss_ref MiB | $(ratio "$rss" "$rss_ref") |
| idle, signed in, no window: CPU over $idle s | $cpu % of one core | minimal Qt tray program: $cpu_ref % | |
| RSS with the dashboard open (app process) | $open MiB | plain \`QWebEngineView\`: $open_ref MiB | $(ratio "$open" "$open_ref") |
| RSS 10 s after closing the dashboard | $closed MiB | | |
| upload of 2 GiB: throughput | $ours_mbs MB/s | \`curl -T\`: $curl_mbs MB/s | $(ratio "$ours_mbs" "$curl_mbs") |
| upload of 2 GiB: peak RSS | $ours_rss MiB | \`curl -T\`: $curl_rss MiB | |
| \`$(basename "$deb")\`: installed size | $(dpkg-deb -f "$deb" Installed-Size) KiB | | |
EOF
