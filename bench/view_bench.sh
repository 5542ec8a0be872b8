#!/usr/bin/env bash
# tembra-view against grep on one 1 GB day file, side by side, and its
# memory while merging thirty day files; day files made by view_data.
set -euo pipefail
build=${1:-build}
runs=${VIEW_BENCH_RUNS:-7}
data=$build/view-bench
view=$build/bin/tembra-view
big=$data/big/tembra-20261101.log
mkdir -p "$data/big" "$data/month"
[ -s "$big" ] || "$build/bin/view_data" "$data/big" 1024 1
[ "$(ls "$data/month" | wc -l)" -eq 30 ] || "$build/bin/view_data" "$data/month" 16 30
cat "$big" > /dev/null

# Both write into a pipe: grep stops at its first match when its output is /dev/null.
echo "== $(du -h "$big" | cut -f1) day file, $runs runs each, output through a pipe"
hyperfine --style basic --warmup 1 --runs "$runs" --output=pipe --export-json "$data/speed.json" \
  -n grep "grep -E '^\[(WARN|ERROR|ALERT)\]' $big" \
  -n tembra-view "$view -p warn -o cat $big"
jq -r '.results[] | "\(.command): median \(.median * 1000 | floor) ms, range \(.min * 1000 | floor)-\(.max * 1000 | floor) ms"' "$data/speed.json"
jq -r '(.results[0].median / .results[1].median) as $r
  | "tembra-view speed / grep speed (medians): \($r * 1000 | round / 1000) (target >= 0.5: \(if $r >= 0.5 then "met" else "NOT met" end))"' \
  "$data/speed.json"

echo "== merge of 30 day files ($(du -sh "$data/month" | cut -f1)), max RSS over $runs runs"
rss=()
for _ in $(seq "$runs"); do
  rss+=("$( { /usr/bin/time -f %M "$view" --no-pager "$data/month" > /dev/null; } 2>&1 )")
done
sorted=$(printf '%s\n' "${rss[@]}" | sort -n)
median=$(echo "$sorted" | sed -n "$(( (runs + 1) / 2 ))p")
echo "max RSS KiB: median $median, range $(echo "$sorted" | head -1)-$(echo "$sorted" | tail -1)" \
  "(target < 65536: $([ "$median" -lt 65536 ] && echo met || echo NOT met))"
out_of_order=$("$view" --no-pager "$data/month" | awk '/^\[/ { t = $2 " " $3; if (t < p) bad++; p = t } END { print bad + 0 }')
echo "records out of time order in the merged output: $out_of_order"
