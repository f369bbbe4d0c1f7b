#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Benchmarks, run on demand (never in CI). Serves pages from a local nginx: HTML lines of
# 10, 100 and 250 MiB, 100 MiB of lines in Windows-1252, and 100 MiB on one line. For each,
# tarnwick-fetch -o against the floor reader (bench/floorreader.cpp: the least a program can
# do to fetch and write a body) and against curl, run in turn, each pair after the other;
# then the window's time from a click on Retrieve until the page is painted, and its memory
# during the retrieval of 100 MiB; then the page box against a plain QPlainTextEdit
# (bench/pageboxbench.cpp). Last, the window's first click on 100 MiB after 5 s with nothing
# to do, against clicks straight after it and the floor reader after the same wait.
#
# Usage: bench/run.sh [BUILD_DIR]      (default: build/; BENCH_RUNS=5 runs per measure;
#                                      BENCH_COLD_ONLY=1 for the first click alone)
# Prints Markdown tables of medians, then each target with its value.
set -euo pipefail

repo_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir=${1:-${TARNWICK_BUILD_DIR:-"$repo_root/build"}}
runs=${BENCH_RUNS:-5}
fetch="$build_dir/tools/fetch/tarnwick-fetch"
floor="$build_dir/bench/tarnwick-floorreader"
windowbench="$build_dir/bench/tarnwick-windowbench"
pageboxbench="$build_dir/bench/tarnwick-pageboxbench"

die() { echo "bench: $*" >&2; exit 1; }

for tool in nginx curl /usr/bin/time python3; do
    command -v "$tool" >/dev/null || [ -x /usr/sbin/"$tool" ] || die "$tool is not installed"
done
[ -f "$build_dir/CMakeCache.txt" ] || die "no build in $build_dir: run scripts/test.sh first"
cmake --build "$build_dir" --target tarnwick-fetch tarnwick-floorreader tarnwick-windowbench \
    tarnwick-pageboxbench >/dev/null
source "$repo_root/bench/localnginx.sh"

make_work bench
mkdir -p "$work/out"

pages=(lines-10mb lines-100mb lines-250mb windows-1252-100mb line-100mb)
python3 - "$work/www" <<'EOF'
import sys
root = sys.argv[1]
MB = 1024 * 1024
def lines(size, windows1252=False):
    out, n = [b"<!DOCTYPE html>\n<html><head><title>Bench</title></head><body>\n"], 0
    total = len(out[0])
    while total < size:
        if windows1252:
            line = ('<p class="row">Ligne %d\u00a0: caf\u00e9 na\u00efve, \u201cguillemets\u201d '
                    '\u2014 <a href="/page/%d.html">suite</a></p>\n' % (n, n)).encode("cp1252")
        else:
            line = (b'<p class="row">Line %d: the quick brown fox jumps over the lazy dog, '
                    b'<a href="/page/%d.html">more</a></p>\n' % (n, n))
        out.append(line)
        total += len(line)
        n += 1
    out.append(b"</body></html>\n")
    return b"".join(out)
for name, size in (("lines-10mb", 10 * MB), ("lines-100mb", 100 * MB), ("lines-250mb", 250 * MB)):
    open(f"{root}/{name}.html", "wb").write(lines(size))
open(f"{root}/windows-1252-100mb.html", "wb").write(lines(100 * MB, windows1252=True))
words = b"".join(b'<span>word %d</span> ' % n for n in range(6000000))
open(f"{root}/line-100mb.html", "wb").write(b"<html><body><p>" + words[:100 * MB - 30] + b"</p></body></html>")
EOF
# What the page box shows of the Windows-1252 page, as UTF-8: what tarnwick-fetch must write.
python3 -c 'import sys; open(sys.argv[2], "wb").write(open(sys.argv[1], "rb").read().decode("cp1252").encode())' \
    "$work/www/windows-1252-100mb.html" "$work/windows-1252-100mb.utf8"

start_local_nginx "$work" "types { text/html html; }"

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
mib() { awk -v b="$1" 'BEGIN { printf "%.0f", b / 1048576 }'; }

# Runs a command; prints its wall time in ms and its peak resident memory in bytes.
measure() {
    local start end
    start=$(date +%s%N)
    /usr/bin/time -f '%M' -o "$work/time" "$@" >/dev/null
    end=$(date +%s%N)
    echo "$(((end - start) / 1000)) $(tail -n 1 "$work/time")" |
        awk '{ printf "%.1f %d\n", $1 / 1000, $2 * 1024 }'
}

target() { # NAME VALUE LIMIT
    awk -v n="$1" -v v="$2" -v l="$3" 'BEGIN { printf "%-62s %8.2f  (at most %s)  %s\n", n, v, l, (v <= l) ? "met" : "MISSED" }'
}

# A first click after 5 s with nothing to do finds memory the system has not touched for a
# while; each run is a fresh window, and a fresh floor reader after the same wait.
cold_click() {
    local page=lines-100mb
    : >"$work/cold.txt"
    : >"$work/floorcold.txt"
    echo "Cold first click on $page: each run waits 5 s with nothing to do first."
    for _ in $(seq "$runs"); do
        sleep 5
        measure "$floor" 127.0.0.1 "$port" "/$page.html" "$work/out/floor.html" >>"$work/floorcold.txt"
        "$windowbench" cold "$runs" "127.0.0.1:$port/$page.html" \
            "$(stat -c %s "$work/www/$page.html")" >>"$work/cold.txt" 2>/dev/null ||
            die "the window bench failed on its cold click"
    done
    local first back floor_cold
    first=$(awk '$1 == "first" { print $2 }' "$work/cold.txt" | median)
    back=$(awk '$1 == "backtoback" { print $2 }' "$work/cold.txt" | median)
    floor_cold=$(cut -d' ' -f1 "$work/floorcold.txt" | median)
    echo "first click after 5 s idle $first ms, back-to-back clicks $back ms, floor reader after 5 s idle $floor_cold ms (medians of $runs)"
    target "cold first click / back-to-back click, $page" "$(ratio "$first" "$back")" 1.5
    target "cold first click / (1.5 x cold floor + 100 ms), $page" \
        "$(awk -v f="$first" -v c="$floor_cold" 'BEGIN { printf "%.2f", f / (1.5 * c + 100) }')" 1.0
}
if [ -n "${BENCH_COLD_ONLY:-}" ]; then
    cold_click
    exit 0
fi

rows=()
declare -A body_bytes floor_ms fetch_ms curl_ms floor_peak fetch_peak curl_peak click_ms box_ms
for page in "${pages[@]}"; do
    url="127.0.0.1:$port/$page.html"
    expected="$work/www/$page.html"
    [ -f "$work/$page.utf8" ] && expected="$work/$page.utf8"
    body_bytes[$page]=$(stat -c %s "$work/www/$page.html")
    for program in floor fetch curl; do : >"$work/$program.txt"; done
    for _ in $(seq "$runs"); do
        measure "$floor" 127.0.0.1 "$port" "/$page.html" "$work/out/floor.html" >>"$work/floor.txt"
        measure "$fetch" -o "$work/out/fetch.html" "$url" >>"$work/fetch.txt"
        measure curl -s -o "$work/out/curl.html" "http://$url" >>"$work/curl.txt"
    done
    cmp -s "$work/out/floor.html" "$work/www/$page.html" || die "the floor reader got a different $page"
    cmp -s "$work/out/fetch.html" "$expected" || die "tarnwick-fetch wrote a different $page"
    for program in floor fetch curl; do
        declare -n ms="${program}_ms" peak="${program}_peak"
        ms[$page]=$(cut -d' ' -f1 "$work/$program.txt" | median)
        peak[$page]=$(cut -d' ' -f2 "$work/$program.txt" | median)
        unset -n ms peak
    done
    window=$("$windowbench" "$runs" "$url" "$(stat -c %s "$expected")") ||
        die "the window bench failed on $page"
    click_ms[$page]=$(awk '$1 == "click" { print $2 }' <<<"$window")
    box_ms[$page]=$(awk '$1 == "pagebox" { print $2 }' <<<"$window")

    body=${body_bytes[$page]}
    rows+=("| $page | $(mib "$body") | ${floor_ms[$page]} | ${fetch_ms[$page]} | ${curl_ms[$page]} \
| $(ratio "${fetch_ms[$page]}" "${floor_ms[$page]}")x | $(ratio "${fetch_ms[$page]}" "${curl_ms[$page]}")x \
| $(ratio "${floor_peak[$page]}" "$body")x | $(ratio "${fetch_peak[$page]}" "$body")x | $(ratio "${curl_peak[$page]}" "$body")x \
| ${click_ms[$page]} | ${box_ms[$page]} | $(ratio "${click_ms[$page]}" "${fetch_ms[$page]}")x |")
done

echo "Medians of $runs runs; times in ms, bodies in MiB, on $(nproc) cores."
echo
echo "| page | body | floor | fetch | curl | fetch/floor | fetch/curl | floor peak/body | fetch peak/body | curl peak/body | click-to-text | page box alone | click/fetch |"
echo "|---|---|---|---|---|---|---|---|---|---|---|---|---|"
printf '%s\n' "${rows[@]}"
echo

for page in lines-10mb lines-100mb lines-250mb; do
    target "tarnwick-fetch time / floor time, $page" "$(ratio "${fetch_ms[$page]}" "${floor_ms[$page]}")" 1.5
done
for page in lines-100mb windows-1252-100mb line-100mb lines-250mb; do
    target "tarnwick-fetch peak memory / body, $page" "$(ratio "${fetch_peak[$page]}" "${body_bytes[$page]}")" 1.3
done
for page in "${pages[@]}"; do
    target "click-to-text / tarnwick-fetch time, $page" "$(ratio "${click_ms[$page]}" "${fetch_ms[$page]}")" 1.3
done

echo
body_mib=$(awk -v b="${body_bytes[lines-100mb]}" 'BEGIN { print b / 1048576 }')
for box in window plain; do
    memory=$("$pageboxbench" memory "$box" "127.0.0.1:$port/lines-100mb.html" 2>/dev/null) ||
        die "the page box bench failed on its memory"
    idle=$(awk '$1 == "idle" { print $2 }' <<<"$memory")
    resident=$(awk '$1 == "resident" { print $2 }' <<<"$memory")
    peak=$(awk '$1 == "peak" { print $2 }' <<<"$memory")
    echo "$box, 100 MiB page: idle $idle MiB; resident $resident MiB once shown ($(ratio "$resident" "$body_mib")x the body), peak $peak MiB during the retrieval ($(ratio "$peak" "$body_mib")x; above the idle window $(ratio "$((peak - idle))" "$body_mib")x)"
    if [ "$box" = window ]; then
        target "window resident / body once the 100 MiB page is shown" "$(ratio "$resident" "$body_mib")" 2.5
        target "window peak above the idle window / body, 100 MiB retrieval" "$(ratio "$((peak - idle))" "$body_mib")" 2.2
    fi
done
again=$("$pageboxbench" memory again "127.0.0.1:$port/lines-250mb.html" 2>/dev/null) ||
    die "the page box bench failed on a second retrieval"
copied=$("$pageboxbench" memory copy "127.0.0.1:$port/lines-250mb.html" 2>/dev/null) ||
    die "the page box bench failed on a second retrieval after a copy"
again_peak=$(awk '$1 == "peak" { print $2 }' <<<"$again")
copied_peak=$(awk '$1 == "peak" { print $2 }' <<<"$copied")
echo "window, lines-250mb retrieved again: peak $again_peak MiB; with a word of the first copied: $copied_peak MiB"
target "peak with a copied word / without, second lines-250mb retrieval" "$(ratio "$copied_peak" "$again_peak")" 1.05
echo
echo "Page box against QPlainTextEdit, times in ms (the edits: the slowest of start, middle, end):"
"$pageboxbench" timing "${BENCH_PLAIN_MAX_MB:-20}" 2>/dev/null
echo
cold_click
