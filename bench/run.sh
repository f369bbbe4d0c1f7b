#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Benchmarks, run on demand (never in CI): tarnwick-fetch against curl, and the window's
# click-to-text time against the page box alone, on pages of 1, 10 and 100 MB of ordinary
# HTML lines and one 5 MB page of a single line, served by a local nginx.
#
# Usage: bench/run.sh [BUILD_DIR]      (default: build/; BENCH_RUNS=5 runs per measure)
# Prints a Markdown table of medians, then each target with its ratio; then the page box
# against a plain QPlainTextEdit (bench/pageboxbench.cpp): the window's memory with the
# 100 MB page, and a table of times on pages made in memory.
set -euo pipefail

repo_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir=${1:-${TARNWICK_BUILD_DIR:-"$repo_root/build"}}
runs=${BENCH_RUNS:-5}
fetch="$build_dir/tools/fetch/tarnwick-fetch"
windowbench="$build_dir/bench/tarnwick-windowbench"
pageboxbench="$build_dir/bench/tarnwick-pageboxbench"

die() { echo "bench: $*" >&2; exit 1; }

for tool in nginx curl /usr/bin/time python3; do
    command -v "$tool" >/dev/null || [ -x /usr/sbin/"$tool" ] || die "$tool is not installed"
done
[ -f "$build_dir/CMakeCache.txt" ] || die "no build in $build_dir: run scripts/test.sh first"
cmake --build "$build_dir" --target tarnwick-fetch tarnwick-windowbench tarnwick-pageboxbench >/dev/null
nginx_program=$(command -v nginx || echo /usr/sbin/nginx)

work=$(mktemp -d "${TMPDIR:-/tmp}/tarnwick-bench.XXXXXX")
cleanup() {
    [ -f "$work/nginx.pid" ] && kill "$(cat "$work/nginx.pid")" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/www" "$work/tmp" "$work/out"

# The pages: lines of ordinary HTML up to the size, and one line of 5 MB.
python3 - "$work/www" <<'EOF'
import sys
root = sys.argv[1]
MB = 1024 * 1024
def lines(size):
    out, n = [b"<!DOCTYPE html>\n<html><head><title>Bench</title></head><body>\n"], 0
    total = len(out[0])
    while total < size:
        line = (b'<p class="row">Line %d: the quick brown fox jumps over the lazy dog, '
                b'<a href="/page/%d.html">more</a></p>\n' % (n, n))
        out.append(line)
        total += len(line)
        n += 1
    out.append(b"</body></html>\n")
    return b"".join(out)
for name, size in (("page-1mb", MB), ("page-10mb", 10 * MB), ("page-100mb", 100 * MB)):
    open(f"{root}/{name}.html", "wb").write(lines(size))
words = b"".join(b'<span>word %d</span> ' % n for n in range(400000))
open(f"{root}/line-5mb.html", "wb").write(b"<html><body><p>" + words[:5 * MB - 30] + b"</p></body></html>")
EOF

port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
user_line=""
[ "$(id -u)" -eq 0 ] && user_line="user $(id -un) $(id -gn);"
cat >"$work/nginx.conf" <<EOF
$user_line
worker_processes 1;
pid "$work/nginx.pid";
error_log "$work/error.log" warn;
events { worker_connections 64; }
http {
    types { text/html html; }
    access_log off;
    sendfile on;
    client_body_temp_path "$work/tmp/body";
    proxy_temp_path "$work/tmp/proxy";
    fastcgi_temp_path "$work/tmp/fastcgi";
    uwsgi_temp_path "$work/tmp/uwsgi";
    scgi_temp_path "$work/tmp/scgi";
    server { listen 127.0.0.1:$port; root "$work/www"; }
}
EOF
"$nginx_program" -p "$work/" -c "$work/nginx.conf" -e "$work/error.log" ||
    die "nginx did not start: $(cat "$work/error.log")"
for _ in $(seq 100); do
    curl -s -o /dev/null "http://127.0.0.1:$port/" && break || sleep 0.1
done

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

# Runs a command; prints its wall time in ms and its peak resident memory in KiB.
measure() {
    local start end
    start=$(date +%s%N)
    /usr/bin/time -f '%M' -o "$work/time" "$@" >/dev/null
    end=$(date +%s%N)
    echo "$(((end - start) / 1000)) $(tail -n 1 "$work/time")" |
        awk '{ printf "%.1f %d\n", $1 / 1000, $2 }'
}

rows=()
declare -A fetch_ms fetch_kb curl_ms body_bytes click_ms box_ms
for page in page-1mb page-10mb page-100mb line-5mb; do
    url="127.0.0.1:$port/$page.html"
    body_bytes[$page]=$(stat -c %s "$work/www/$page.html")
    : >"$work/curl.txt"
    : >"$work/fetch.txt"
    for _ in $(seq "$runs"); do
        measure curl -s -o "$work/out/curl.html" "http://$url" >>"$work/curl.txt"
        measure "$fetch" -o "$work/out/fetch.html" "$url" >>"$work/fetch.txt"
    done
    cmp -s "$work/out/curl.html" "$work/www/$page.html" || die "curl got a different $page"
    cmp -s "$work/out/fetch.html" "$work/www/$page.html" || die "tarnwick-fetch got a different $page"
    curl_ms[$page]=$(cut -d' ' -f1 "$work/curl.txt" | median)
    curl_kb=$(cut -d' ' -f2 "$work/curl.txt" | median)
    fetch_ms[$page]=$(cut -d' ' -f1 "$work/fetch.txt" | median)
    fetch_kb[$page]=$(cut -d' ' -f2 "$work/fetch.txt" | median)
    window=$("$windowbench" "$runs" "$url" "${body_bytes[$page]}") || die "the window bench failed on $page"
    click_ms[$page]=$(awk '$1 == "click" { print $2 }' <<<"$window")
    box_ms[$page]=$(awk '$1 == "pagebox" { print $2 }' <<<"$window")

    mib=$(awk -v b="${body_bytes[$page]}" 'BEGIN { printf "%.1f", b / 1048576 }')
    rows+=("| $page | $mib MiB | ${curl_ms[$page]} | ${fetch_ms[$page]} | $(ratio "${fetch_ms[$page]}" "${curl_ms[$page]}")x \
| $((curl_kb / 1024)) | $((${fetch_kb[$page]} / 1024)) | $(ratio "$((${fetch_kb[$page]} * 1024))" "${body_bytes[$page]}")x \
| ${click_ms[$page]} | ${box_ms[$page]} | $(ratio "${click_ms[$page]}" "$(awk -v f="${fetch_ms[$page]}" -v b="${box_ms[$page]}" 'BEGIN { print f + b }')")x |")
done

echo "Medians of $runs runs; times in ms, memory in MiB (peak resident), on $(nproc) cores."
echo
echo "| page | body | curl | fetch | fetch/curl | curl peak | fetch peak | fetch peak/body | click-to-text | page box alone | click/(fetch+box) |"
echo "|---|---|---|---|---|---|---|---|---|---|---|"
printf '%s\n' "${rows[@]}"
echo

target() { # NAME VALUE LIMIT
    awk -v n="$1" -v v="$2" -v l="$3" 'BEGIN { printf "%-58s %8.2f  (at most %s)  %s\n", n, v, l, (v <= l) ? "met" : "MISSED" }'
}
target "tarnwick-fetch time / curl time, 100 MB" "$(ratio "${fetch_ms[page-100mb]}" "${curl_ms[page-100mb]}")" 5
target "tarnwick-fetch peak memory / body, 100 MB" "$(ratio "$((${fetch_kb[page-100mb]} * 1024))" "${body_bytes[page-100mb]}")" 4
for page in page-1mb page-10mb page-100mb line-5mb; do
    target "click-to-text / (fetch + page box alone), $page" \
        "$(ratio "${click_ms[$page]}" "$(awk -v f="${fetch_ms[$page]}" -v b="${box_ms[$page]}" 'BEGIN { print f + b }')")" 1.15
done
target "click-to-text of the 10 MB page, in seconds" "$(awk -v c="${click_ms[page-10mb]}" 'BEGIN { print c / 1000 }')" 1

echo
body=${body_bytes[page-100mb]}
for box in window plain; do
    memory=$("$pageboxbench" memory "$box" "127.0.0.1:$port/page-100mb.html" 2>/dev/null) ||
        die "the page box bench failed on its memory"
    resident=$(awk '$1 == "resident" { print $2 }' <<<"$memory")
    peak=$(awk '$1 == "peak" { print $2 }' <<<"$memory")
    echo "$box, 100 MB page: resident $resident MiB once shown ($(ratio "$((resident * 1048576))" "$body")x the body), peak $peak MiB ($(ratio "$((peak * 1048576))" "$body")x)"
    if [ "$box" = window ]; then
        target "window resident / body once the 100 MB page is shown" "$(ratio "$((resident * 1048576))" "$body")" 2.5
        target "window peak / body during the retrieval of 100 MB" "$(ratio "$((peak * 1048576))" "$body")" 3.5
    fi
done
echo
echo "Page box against QPlainTextEdit, times in ms (the edits: the slowest of start, middle, end):"
"$pageboxbench" timing "${BENCH_PLAIN_MAX_MB:-20}" 2>/dev/null
