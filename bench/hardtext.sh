#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Hard text through the real window, run on demand (never in CI). Serves pages of text that
# is hard to lay out from a local nginx, each one line: huge grapheme clusters, runs without
# width, runs without a break, long right-to-left and mixed-direction lines, heavily shaped
# scripts. For each: tarnwick-fetch's time, then the window (bench/hardtextbench.cpp): click
# until shown, first paint after the click returns, the largest stall of the event loop until
# the idle work is done, and the slowest of a typed letter, Right, Backspace, Delete and a
# click in the middle of the page; beside it the same text in a QPlainTextEdit, given at most
# PLAIN_LIMIT seconds (default 120; 0 leaves it out).
#
# Usage: bench/hardtext.sh [BUILD_DIR]  (BENCH_RUNS=5 runs per measure; HARDTEXT_ONLY=name,...;
#        HARDTEXT_CLOCK=cpu times the window's processor time instead of the wall clock's)
# Prints a Markdown table, then each target with its value.
set -euo pipefail

repo_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir=${1:-${TARNWICK_BUILD_DIR:-"$repo_root/build"}}
runs=${BENCH_RUNS:-5}
plain_limit=${PLAIN_LIMIT:-120}
fetch="$build_dir/tools/fetch/tarnwick-fetch"
bench="${HARDTEXT_BENCH:-$build_dir/bench/tarnwick-hardtextbench}"

die() { echo "hardtext: $*" >&2; exit 1; }

for tool in nginx curl python3 timeout; do
    command -v "$tool" >/dev/null || [ -x /usr/sbin/"$tool" ] || die "$tool is not installed"
done
[ -f "$build_dir/CMakeCache.txt" ] || die "no build in $build_dir"
cmake --build "$build_dir" --target tarnwick-fetch tarnwick-hardtextbench >/dev/null
source "$repo_root/bench/localnginx.sh"

make_work hardtext

# name, then what the page holds; each page is one line of UTF-8 text.
python3 - "$work/www" <<'PY'
import sys
root = sys.argv[1]
cjk = "".join(chr(0x4E00 + n % 20000) for n in range(1_000_000))
pages = {
    "accents": "e" + "\u0301" * 500_000,
    "zero-width-spaces": "\u200b" * 2_000_000,
    "word-joiners": "a" + "\u2060" * 1_000_000 + "a",
    "no-break-spaces": "word\u00a0" * 1_000_000,
    "letters": "a" * 5_000_000,
    "cjk": cjk,
    "family-emoji": "\U0001F468\u200D\U0001F469\u200D\U0001F467" * 100_000,
    "hangul-jamo": "\u1100" + "\u1161" * 500_000,
    "variation-selectors": "a" + "\ufe0f" * 100_000,
    "marks-on-every-letter": ("a" + "\u0301\u0302\u0303\u0304" * 25) * 10_000,
    "arabic": "\u0627\u0644\u0639\u0631\u0628\u064a\u0629 " * 125_000,
    "mixed-direction": "hello \u05e2\u05d5\u05dc\u05dd 123 " * 60_000,
    "devanagari": "\u0915\u094d\u0937\u093f \u0928\u092e\u0938\u094d\u0924\u0947 " * 100_000,
}
for name, text in pages.items():
    open(f"{root}/{name}.txt", "wb").write(text.encode())
    open(f"{root}/{name}.chars", "w").write(str(len(text.encode("utf-16-le")) // 2))
PY

start_local_nginx "$work" "types { text/plain txt; } charset utf-8;"

field() { awk -v k="$1" '$1 == k { print $2 }' <<<"$2"; }
slowest() { printf '%s\n' "$@" | sort -g | tail -n 1; }
fmt() { awk -v v="$1" 'BEGIN { if (v >= 1000) printf "%.1f s", v / 1000; else printf "%.1f", v }'; }

pages=(accents zero-width-spaces word-joiners no-break-spaces letters cjk family-emoji hangul-jamo
    variation-selectors marks-on-every-letter arabic mixed-direction devanagari)
[ -n "${HARDTEXT_ONLY:-}" ] && IFS=, read -r -a pages <<<"$HARDTEXT_ONLY"
rows=()
targets=()
for page in "${pages[@]}"; do
    url="127.0.0.1:$port/$page.txt"
    chars=$(cat "$work/www/$page.chars")
    bytes=$(stat -c %s "$work/www/$page.txt")
    : >"$work/fetch.txt"
    for _ in $(seq "$runs"); do
        start=$(date +%s%N)
        "$fetch" -o "$work/out.txt" "$url" >/dev/null
        end=$(date +%s%N)
        echo "$(((end - start) / 1000))" | awk '{ printf "%.1f\n", $1 / 1000 }' >>"$work/fetch.txt"
    done
    fetch_ms=$(median <"$work/fetch.txt")
    window=$("$bench" window "$runs" "$url" "$chars") || die "the window bench failed on $page"
    click=$(field click "$window")
    paint=$(field paint "$window")
    stall=$(field stall "$window")
    key=$(slowest "$(field letter "$window")" "$(field right "$window")" \
        "$(field backspace "$window")" "$(field delete "$window")" "$(field click-middle "$window")")
    plain_shown=">${plain_limit} s"
    plain_key=""
    if [ "$plain_limit" = 0 ]; then
        plain_shown="not measured"
    elif plain=$(timeout "$plain_limit" "$bench" plain "$work/www/$page.txt" 2>/dev/null); then
        plain_shown=$(fmt "$(field shown "$plain")")
        plain_key=$(fmt "$(slowest "$(field letter "$plain")" "$(field right "$plain")" \
            "$(field backspace "$plain")" "$(field delete "$plain")" "$(field click-middle "$plain")")")
    elif [ -n "$(field shown "${plain:-}")" ]; then
        plain_shown=$(fmt "$(field shown "$plain")")
        plain_key=">${plain_limit} s"
    fi
    rows+=("| $page | $(awk -v b="$bytes" 'BEGIN { printf "%.1f", b / 1048576 }') | $fetch_ms | $(fmt "$click") | $(fmt "$paint") | $(fmt "$stall") | $(fmt "$key") | $plain_shown | $plain_key |")
    targets+=("$page $click $fetch_ms $paint $stall $key")
done

echo "Medians of $runs runs; times in ms (${HARDTEXT_CLOCK:-wall} clock), pages in MiB of UTF-8, on $(nproc) cores; QPlainTextEdit given ${plain_limit} s."
echo
echo "| page (one line) | size | fetch | click until shown | first paint | largest stall | slowest key or click | QPlainTextEdit shown | QPlainTextEdit slowest key or click |"
echo "|---|---|---|---|---|---|---|---|---|"
printf '%s\n' "${rows[@]}"
echo
missed=0
for row in "${targets[@]}"; do
    read -r page click fetch_ms paint stall key <<<"$row"
    check() { # NAME VALUE LIMIT
        awk -v n="$1" -v v="$2" -v l="$3" 'BEGIN { ok = v <= l; printf "%-44s %9.1f ms  (at most %.1f)  %s\n", n, v, l, ok ? "met" : "MISSED"; exit !ok }' ||
            missed=$((missed + 1))
    }
    check "$page: click - fetch" "$(awk -v c="$click" -v f="$fetch_ms" 'BEGIN { print c - f }')" 150
    check "$page: first paint" "$paint" 100
    check "$page: largest stall" "$stall" 50
    check "$page: slowest key or click" "$key" 16
done
echo "targets missed: $missed"
