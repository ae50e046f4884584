#!/usr/bin/env bash
# Upload throughput and memory of `vorlanta create` against the local sandbox, with `curl -T` of
# the same bytes to a presigned URL of the same sandbox as the reference. Prints figures only.
set -euo pipefail

usage() {
    cat <<'EOF'
usage: bench/upload_bench.sh [--size-mib N] [--sizes "N M ..."] [--files N] [--part-mib N] [--rounds N] [--dir PATH] [--build DIR]
  --size-mib N   one file of N MiB (default 2048)
  --sizes LIST   several sizes in MiB, e.g. "2048 8192" (peak RSS per size); "" for none
  --files N      many small files: N files of 1 MiB in one project (default 50; 0 skips)
  --rounds N     alternated runs of vorlanta and curl -T per size, best of each (default 3)
  --part-mib N   part size the sandbox hands out (default 256: a 2 GiB file in 8 parts;
                 5 is the object stores' minimum)
  --dir PATH     where the test file and the sandbox's data go (default /var/tmp; disk-backed)
  --build DIR    build directory with src/cli/vorlanta and tools/sandbox/vorlanta-sandbox
                 (default build/bench-up)
EOF
}

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
sizes="2048"
file_count=50
rounds=3
part_mib=256
base_dir=/var/tmp
build_dir="$root/build/bench-up"

in_session=0
if [ "${1:-}" = "--in-session" ]; then
    in_session=1
    shift
fi
original_args=("$@")
while [ $# -gt 0 ]; do
    case "$1" in
    --size-mib) sizes="${2:?--size-mib needs a number}"; shift 2 ;;
    --sizes) sizes="${2?--sizes needs a list}"; shift 2 ;;
    --files) file_count="${2:?--files needs a number}"; shift 2 ;;
    --rounds) rounds="${2:?--rounds needs a number}"; shift 2 ;;
    --part-mib) part_mib="${2:?--part-mib needs a number}"; shift 2 ;;
    --dir) base_dir="${2:?--dir needs a path}"; shift 2 ;;
    --build) build_dir="${2:?--build needs a directory}"; shift 2 ;;
    -h | --help) usage; exit 0 ;;
    *) echo "upload_bench: unknown option $1" >&2; usage >&2; exit 2 ;;
    esac
done
for size in $sizes; do
    if ! [[ "$size" =~ ^[1-9][0-9]*$ ]]; then
        echo "upload_bench: sizes are whole MiB, got \"$size\"" >&2
        exit 2
    fi
done
if ! [[ "$rounds" =~ ^[1-9][0-9]*$ ]]; then
    echo "upload_bench: --rounds takes a positive whole number, got \"$rounds\"" >&2
    exit 2
fi
if ! [[ "$file_count" =~ ^[0-9]+$ ]]; then
    echo "upload_bench: --files takes a whole number, got \"$file_count\"" >&2
    exit 2
fi
case "$build_dir" in /*) ;; *) build_dir="$PWD/$build_dir" ;; esac
cli="$build_dir/src/cli/vorlanta"
sandbox="$build_dir/tools/sandbox/vorlanta-sandbox"
for program in "$cli" "$sandbox"; do
    if [ ! -x "$program" ]; then
        echo "upload_bench: $program is missing; build the targets vorlanta and vorlanta-sandbox" >&2
        exit 1
    fi
done
for tool in curl awk; do
    command -v "$tool" >/dev/null || { echo "upload_bench: needs $tool" >&2; exit 1; }
done

# The token has to go into a keyring: run everything inside a private desktop session.
if [ "$in_session" -eq 0 ]; then
    exec "$root/scripts/with-test-session" "$0" --in-session "${original_args[@]}"
fi

work=$(mktemp -d "$base_dir/vorlanta-upload-bench.XXXXXX")
sandbox_pid=""
measured_pid=""
cleanup() {
    if [ -n "$measured_pid" ]; then kill "$measured_pid" 2>/dev/null || true; fi
    if [ -n "$sandbox_pid" ]; then
        kill "$sandbox_pid" 2>/dev/null || true
        wait "$sandbox_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

fstype=$(df --output=fstype "$work" | tail -n 1 | tr -d ' ')
if [ "$fstype" = tmpfs ]; then
    echo "upload_bench: $base_dir is tmpfs; pick a disk-backed --dir" >&2
    exit 1
fi

# Nothing of the user's own configuration or data is read or written.
mkdir -p "$work/home" "$work/sandbox"
export HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config" XDG_DATA_HOME="$work/home/.local/share"
export XDG_CACHE_HOME="$work/home/.cache"

"$sandbox" --port 0 --part-mib "$part_mib" --data-dir "$work/sandbox" >"$work/sandbox.out" 2>"$work/sandbox.log" &
sandbox_pid=$!
url="" token=""
for _ in $(seq 1 100); do
    url=$(sed -n 's/^Sandbox listening on \(.*\)$/\1/p' "$work/sandbox.out")
    token=$(sed -n 's/^Demo token: \(.*\)$/\1/p' "$work/sandbox.out")
    if [ -n "$url" ] && [ -n "$token" ]; then break; fi
    kill -0 "$sandbox_pid" 2>/dev/null || break
    sleep 0.1
done
if [ -z "$url" ] || [ -z "$token" ]; then
    echo "upload_bench: the sandbox did not start" >&2
    cat "$work/sandbox.log" >&2
    exit 1
fi
origin=${url%/}

if ! "$cli" --service "$url" login --token "$token" >"$work/login.out" 2>&1; then
    echo "upload_bench: login failed:" >&2
    cat "$work/login.out" >&2
    exit 1
fi

now_ns() { date +%s%N; }
# Field of /usr/bin/time -v output, e.g. "Maximum resident set size (kbytes)".
time_field() { sed -n "s/^[[:space:]]*$1: //p" "$2"; }

# Runs a command under /usr/bin/time -v (or samples VmHWM when that is missing); sets
# run_wall (s), run_cpu (s), run_rss_kib.
measure() {
    local start end
    if [ -x /usr/bin/time ]; then
        start=$(now_ns)
        /usr/bin/time -v -o "$work/time.txt" "$@" >"$work/run.out" 2>"$work/run.err"
        end=$(now_ns)
        run_rss_kib=$(time_field 'Maximum resident set size (kbytes)' "$work/time.txt")
        run_cpu=$(awk -v u="$(time_field 'User time (seconds)' "$work/time.txt")" \
            -v s="$(time_field 'System time (seconds)' "$work/time.txt")" 'BEGIN { print u + s }')
    else
        local pid hwm=0 value ticks
        start=$(now_ns)
        "$@" >"$work/run.out" 2>"$work/run.err" &
        pid=$!
        measured_pid=$pid
        ticks=0
        while kill -0 "$pid" 2>/dev/null; do
            value=$(awk '/^VmHWM:/ { print $2 }' "/proc/$pid/status" 2>/dev/null || true)
            if [ -n "$value" ] && [ "$value" -gt "$hwm" ]; then hwm=$value; fi
            ticks=$(awk '{ print $14 + $15 }' "/proc/$pid/stat" 2>/dev/null || echo "$ticks")
            sleep 0.05
        done
        wait "$pid" || { measured_pid=""; return 1; }
        measured_pid=""
        end=$(now_ns)
        run_rss_kib=$hwm
        run_cpu=$(awk -v t="$ticks" -v hz="$(getconf CLK_TCK)" 'BEGIN { print t / hz }')
    fi
    run_wall=$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f", (b - a) / 1e9 }')
}

log_lines() { wc -l <"$work/sandbox.log"; }
# PUT requests and their body bytes in the sandbox's log after line $1.
puts_since() {
    tail -n +"$(($1 + 1))" "$work/sandbox.log" |
        awk '$1 == "PUT" { n++; for (i = 3; i <= NF; i++) if ($i ~ /^in=/) b += substr($i, 4) }
             END { printf "%d %.0f\n", n, b }'
}

# The like-for-like reference: every piece by one curl (one connection), then the completion
# with the ETags in order. $1 is the work directory, $2 the token.
# shellcheck disable=SC2016 # expanded by the inner bash
multi_script='
set -euo pipefail
curl -sS -f -D "$1/headers.txt" -K "$1/curl.cfg"
etags=$(sed -n "s/^[Ee][Tt][Aa][Gg]: *\"\([^\"]*\)\".*/\"\1\"/p" "$1/headers.txt" | paste -sd, -)
curl -sS -f -o /dev/null -X PATCH -H "Authorization: Bearer $2" \
    -H "Content-Type: application/json" --data "{\"etags\":[$etags]}" "$(cat "$1/complete.url")"
'

echo "upload_bench: sandbox $url, files in $work ($fstype), CPUs $(nproc)"
block="$work/block.bin"
head -c $((16 * 1024 * 1024)) /dev/urandom >"$block"
summary=()
for size_mib in $sizes; do
    bytes=$((size_mib * 1024 * 1024))
    file="$work/data.bin"
    # Random 16 MiB blocks repeated: every extent is real data, nothing sparse.
    for _ in $(seq 1 $(((size_mib + 15) / 16))); do cat "$block"; done >"$file"
    truncate -s "$bytes" "$file"
    sync "$file"

    # (a) the app's command line creating a project with this one file, and (b) the reference:
    # curl -T of the same bytes to the first presigned URL of a fresh upload in that project.
    # Alternated for --rounds rounds, best wall time of each (the disk's writeback makes single
    # runs vary by a third either way) and its CPU; the highest peak RSS of all rounds.
    ours_wall="" curl_wall="" ours_rss=0 curl_rss=0
    for _ in $(seq 1 "$rounds"); do
        before=$(log_lines)
        measure "$cli" --service "$url" create --title Bench --channel 1 "$file" ||
            { echo "upload_bench: vorlanta create failed:" >&2; cat "$work/run.err" "$work/run.out" >&2; exit 1; }
        if [ -z "$ours_wall" ] || awk -v a="$run_wall" -v b="$ours_wall" 'BEGIN { exit !(a < b) }'; then
            read -r ours_puts ours_put_bytes < <(puts_since "$before")
            ours_wall=$run_wall ours_cpu=$run_cpu
        fi
        ours_rss=$((run_rss_kib > ours_rss ? run_rss_kib : ours_rss))
        # The reference upload goes to the project just created ("Project N created with ...").
        project=$(sed -n 's/^Project \([0-9][0-9]*\) created.*/\1/p' "$work/run.out")
        project=${project:-1}
        rm -rf "${work:?}"/sandbox/*

        init=$(curl -sS -X POST -H "Authorization: Bearer $token" \
            -H 'Content-Type: application/json' \
            --data "{\"file_name\":\"ref.bin\",\"file_size\":$bytes}" \
            "$origin/api/v1/creator/projects/$project/files/upload")
        put_url=$(printf '%s' "$init" | sed -n 's/.*"urls"[[:space:]]*:[[:space:]]*\[[[:space:]]*"\([^"]*\)".*/\1/p')
        if [ -z "$put_url" ]; then
            echo "upload_bench: no URL in the upload init answer: $init" >&2
            exit 1
        fi
        put_url=${put_url//\\\//\/}
        before=$(log_lines)
        measure curl -sS -f -o /dev/null -T "$file" "$put_url" ||
            { echo "upload_bench: curl -T failed:" >&2; cat "$work/run.err" >&2; exit 1; }
        if [ -z "$curl_wall" ] || awk -v a="$run_wall" -v b="$curl_wall" 'BEGIN { exit !(a < b) }'; then
            read -r _ curl_put_bytes < <(puts_since "$before")
            curl_wall=$run_wall curl_cpu=$run_cpu
        fi
        curl_rss=$((run_rss_kib > curl_rss ? run_rss_kib : curl_rss))
        rm -rf "${work:?}"/sandbox/*
    done

    # (c) like for like: the same pieces PUT by one curl to every URL of a fresh upload, then the
    # completion (the sandbox joins the pieces, as it does for vorlanta). The pieces are cut
    # before timing.
    init=$(curl -sS -X POST -H "Authorization: Bearer $token" \
        -H 'Content-Type: application/json' \
        --data "{\"file_name\":\"ref.bin\",\"file_size\":$bytes}" \
        "$origin/api/v1/creator/projects/$project/files/upload")
    file_id=$(printf '%s' "$init" | sed -n 's/.*"file_id"[[:space:]]*:[[:space:]]*\([0-9]*\).*/\1/p')
    mapfile -t urls < <(printf '%s' "$init" | grep -o 'http://[^"]*' | sed 's#\\/#/#g')
    url_count=${#urls[@]}
    piece_size=$(((bytes + url_count - 1) / url_count))
    mkdir -p "$work/pieces"
    split -b "$piece_size" -d -a 6 "$file" "$work/pieces/p."
    rm -f "$file"
    sync -f "$work/pieces"
    mapfile -t pieces < <(find "$work/pieces" -name 'p.*' | sort)
    {
        for i in "${!pieces[@]}"; do
            printf 'upload-file = "%s"\nurl = "%s"\noutput = "/dev/null"\n' "${pieces[$i]}" "${urls[$i]}"
        done
    } >"$work/curl.cfg"
    printf '%s\n' "$origin/api/v1/creator/files/$file_id/complete-upload" >"$work/complete.url"
    before=$(log_lines)
    measure bash -c "$multi_script" multi "$work" "$token" ||
        { echo "upload_bench: curl upload of the pieces failed:" >&2; cat "$work/run.err" >&2; exit 1; }
    read -r multi_puts multi_put_bytes < <(puts_since "$before")
    multi_wall=$run_wall multi_cpu=$run_cpu multi_rss=$run_rss_kib
    rm -rf "${work:?}"/sandbox/* "$work/pieces"

    awk -v mib="$size_mib" -v b="$bytes" -v n="$ours_puts" -v ob="$ours_put_bytes" \
        -v ow="$ours_wall" -v oc="$ours_cpu" -v orss="$ours_rss" \
        -v cb="$curl_put_bytes" -v cw="$curl_wall" -v cc="$curl_cpu" -v crss="$curl_rss" \
        -v mw="$multi_wall" -v mc="$multi_cpu" -v mrss="$multi_rss" -v mn="$multi_puts" \
        -v mb="$multi_put_bytes" 'BEGIN {
        printf "size %d MiB: %d PUT requests (%.1f MiB each), %.0f bytes sent by vorlanta, %.0f by curl\n",
            mib, n, (n ? b / n / 1048576 : 0), ob, cb
        printf "vorlanta create: %.2f s, %.1f MB/s, peak RSS %.1f MiB, CPU %.2f s (%.2f s/GB)\n",
            ow, b / 1e6 / ow, orss / 1024, oc, oc / (b / 1e9)
        printf "curl -T:         %.2f s, %.1f MB/s, peak RSS %.1f MiB, CPU %.2f s (%.2f s/GB)\n",
            cw, b / 1e6 / cw, crss / 1024, cc, cc / (b / 1e9)
        printf "curl pieces+complete: %.2f s, %.1f MB/s, peak RSS %.1f MiB, CPU %.2f s (%.2f s/GB), %d PUTs, %.0f bytes\n",
            mw, b / 1e6 / mw, mrss / 1024, mc, mc / (b / 1e9), mn, mb
        printf "ours/curl throughput: %.2f (target >= 0.85); ours/curl pieces+complete: %.2f\n", cw / ow, mw / ow
    }'
    summary+=("$size_mib MiB: peak RSS $(awk -v k="$ours_rss" 'BEGIN { printf "%.1f", k / 1024 }') MiB")
done
if [ "${#summary[@]}" -gt 1 ]; then
    echo "peak RSS of vorlanta create by file size:"
    printf '  %s\n' "${summary[@]}"
fi

# Many small files: the cost per file (three API requests and a PUT each) rather than per byte.
# Reference: curl -T of the same files to presigned URLs of uploads initialised beforehand (not
# timed), all over one connection.
if [ "$file_count" -gt 0 ]; then
    mkdir -p "$work/small"
    small_files=()
    for i in $(seq 1 "$file_count"); do
        head -c $((1024 * 1024)) "$block" >"$work/small/small-$i.bin"
        small_files+=("$work/small/small-$i.bin")
    done
    sync -f "$work/small"
    before=$(log_lines)
    measure "$cli" --service "$url" create --title Small --channel 1 "${small_files[@]}" ||
        { echo "upload_bench: vorlanta create failed:" >&2; cat "$work/run.err" "$work/run.out" >&2; exit 1; }
    read -r small_puts _ < <(puts_since "$before")
    small_wall=$run_wall
    project=$(sed -n 's/^Project \([0-9][0-9]*\) created.*/\1/p' "$work/run.out")
    project=${project:-1}
    for i in $(seq 1 "$file_count"); do
        init=$(curl -sS -X POST -H "Authorization: Bearer $token" \
            -H 'Content-Type: application/json' \
            --data "{\"file_name\":\"ref-$i.bin\",\"file_size\":1048576}" \
            "$origin/api/v1/creator/projects/$project/files/upload")
        put_url=$(printf '%s' "$init" | grep -o 'http://[^"]*' | head -n 1 | sed 's#\\/#/#g')
        printf 'upload-file = "%s"\nurl = "%s"\noutput = "/dev/null"\n' "$work/small/small-$i.bin" "$put_url"
    done >"$work/small.cfg"
    measure curl -sS -f -K "$work/small.cfg" ||
        { echo "upload_bench: curl -T of the small files failed:" >&2; cat "$work/run.err" >&2; exit 1; }
    awk -v n="$file_count" -v puts="$small_puts" -v ow="$small_wall" -v cw="$run_wall" 'BEGIN {
        printf "%d x 1 MiB files: vorlanta create %.1f ms/file (%.2f s, %d PUTs); curl -T %.1f ms/file (%.2f s)\n",
            n, ow * 1000 / n, ow, puts, cw * 1000 / n, cw
        printf "ours/curl time per file: %.2f (goal: <= 20 ms/file on loopback)\n", ow / cw
    }'
    rm -rf "${work:?}"/sandbox/* "$work/small"
fi
