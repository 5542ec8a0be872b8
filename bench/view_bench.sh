#!/usr/bin/env bash
# tembra-view's speed, from day files made by view_data: a level filter
# against grep on one 1 GB day file; newest first against oldest first, and
# the first line of -n and -f, on thirty day files of 110 MB in all; and its
# memory while merging them. Medians and ranges over several runs.
set -euo pipefail
build=${1:-build}
runs=${VIEW_BENCH_RUNS:-7}
data=$build/view-bench
view=$build/bin/tembra-view
big=$data/big/tembra-20261101.log
days=$data/days
mkdir -p "$data/big" "$days"
[ -s "$big" ] || "$build/bin/view_data" "$data/big" 1024 1
[ "$(ls "$days" | wc -l)" -eq 30 ] || "$build/bin/view_data" "$days" 3.7 30
cat "$big" "$days"/* > /dev/null

# hyperfine's results as "name: median N ms, range A-B ms", one a line.
summary() {
  jq -r '.results[] | "\(.command): median \(.median * 1000 | floor) ms, range \(.min * 1000 | floor)-\(.max * 1000 | floor) ms"' "$1"
}
# The ratio of two results' medians (by index), with its target.
ratio() {
  jq -r --argjson a "$2" --argjson b "$3" --arg what "$4" --arg op "$5" --argjson target "$6" '
    (.results[$a].median / .results[$b].median) as $r
    | "\($what): \($r * 1000 | round / 1000) (target \($op) \($target): \(if ($op == "<=" and $r <= $target) or ($op == ">=" and $r >= $target) then "met" else "NOT met" end))"' "$1"
}
bench() {
  local out=$1
  shift
  hyperfine --style basic --warmup 1 --runs "$runs" --output=pipe --export-json "$out" "$@" > /dev/null
  summary "$out"
}

# Both write into a pipe: grep stops at its first match when its output is /dev/null.
echo "== level filter on a $(du -h "$big" | cut -f1) day file, $runs runs each, output through a pipe"
bench "$data/level.json" -n grep "grep -E '^\[(WARN|ERROR|ALERT)\]' $big" -n tembra-view "$view -p warn -o cat $big"
ratio "$data/level.json" 0 1 "tembra-view speed / grep speed (medians)" ">=" 1

echo "== thirty day files ($(du -sh "$days" | cut -f1)), $runs runs each"
bench "$data/order.json" -n forward "$view --no-pager $days" -n reverse "$view --no-pager -r $days"
ratio "$data/order.json" 1 0 "-r time / forward time (medians)" "<=" 1.5

# Until the first line arrives: bash reads one line and exits, not waiting
# for the viewer (timeout ends a follower that is left behind).
first="read -r line < <(timeout 3 $view"
bench "$data/first.json" -n "first line of -n 10" "bash -c '$first -n 10 $days)'" \
  -n "first line of -f" "bash -c '$first -f $days)'"
jq -r '.results[] | "\(.command): target < 300 ms: \(if .median < 0.3 then "met" else "NOT met" end)"' "$data/first.json"

echo "== merge of the thirty day files, max RSS over $runs runs"
rss=()
for _ in $(seq "$runs"); do
  rss+=("$( { /usr/bin/time -f %M "$view" --no-pager "$days" > /dev/null; } 2>&1 )")
done
sorted=$(printf '%s\n' "${rss[@]}" | sort -n)
median=$(echo "$sorted" | sed -n "$(( (runs + 1) / 2 ))p")
echo "max RSS KiB: median $median, range $(echo "$sorted" | head -1)-$(echo "$sorted" | tail -1)" \
  "(target < 65536: $([ "$median" -lt 65536 ] && echo met || echo NOT met))"
out_of_order=$("$view" --no-pager "$days" | awk '/^\[/ { t = $2 " " $3; if (t < p) bad++; p = t } END { print bad + 0 }')
echo "records out of time order in the merged output: $out_of_order"
