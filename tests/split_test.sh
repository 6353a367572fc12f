#!/usr/bin/env bash
# A list split into 3 parts, each part run as its own kelvane side by side,
# and the parts' outputs concatenated in order, give the same bytes as one
# run over the whole list.
set -euo pipefail
kelvane=$1 src=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
for i in 1 2 3 4 5 6 7 8 9 10 11; do
  for m in 3 1 2; do
    echo "$src/examples/model000$m.gmm"
  done | head -n $((i % 3 + 1))
done > "$tmp/all.lst"

"$kelvane" "$src/examples/ubm.gmm" "$tmp/all.lst" "$tmp/whole.sv"

split -n l/3 -d "$tmp/all.lst" "$tmp/part."
ls "$tmp"/part.?? | xargs -P 3 -I{} "$kelvane" "$src/examples/ubm.gmm" {} {}.sv
cat "$tmp"/part.??.sv > "$tmp/joined.sv"
cmp "$tmp/whole.sv" "$tmp/joined.sv"
echo "split ok: $(wc -l < "$tmp/all.lst") models in 3 parts"
