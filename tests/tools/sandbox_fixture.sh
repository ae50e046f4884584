#!/usr/bin/env bash
# CTest fixture around a standalone vorlanta-sandbox: "start" runs it in the background on a free
# port, "check" talks to it with curl the way any HTTP client would, "stop" ends it.
set -euo pipefail
action=$1 sandbox=$2 state=$3

case "$action" in
start)
    mkdir -p "$state"
    "$sandbox" --port 0 --quiet >"$state/out" 2>"$state/err" &
    echo $! >"$state/pid"
    for _ in $(seq 1 100); do
        grep -q '^Demo token: ' "$state/out" 2>/dev/null && exit 0
        sleep 0.05
    done
    echo "sandbox did not start: $(cat "$state/err")" >&2
    exit 1
    ;;
check)
    base=$(sed -n 's/^Sandbox listening on //p' "$state/out")
    token=$(sed -n 's/^Demo token: //p' "$state/out")
    # Without the token: 401. With it: the channel list.
    status=$(curl -s -o /dev/null -w '%{http_code}' "${base}api/v1/creator/channels/")
    [ "$status" = 401 ] || { echo "expected 401 without a token, got $status" >&2; exit 1; }
    body=$(curl -fsS -H "Authorization: Bearer $token" "${base}api/v1/creator/channels/")
    case "$body" in
    '['*'"name"'*']') echo "channels: $body" ;;
    *) echo "unexpected channel list: $body" >&2; exit 1 ;;
    esac
    ;;
stop)
    pid=$(cat "$state/pid")
    kill -TERM "$pid"
    for _ in $(seq 1 100); do
        kill -0 "$pid" 2>/dev/null || exit 0
        sleep 0.05
    done
    echo "sandbox did not stop" >&2
    exit 1
    ;;
esac
