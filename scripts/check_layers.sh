#!/usr/bin/env bash
# Checks that no file of a layer includes a header of a higher layer. The layers, bottom first,
# are the folders named on the "layers (bottom first):" line of docs/architecture.md; a file
# may include headers of its own folder and of the folders below it. Folders outside the
# layers (tests, bench, fuzz) may include anything.
#
#   scripts/check_layers.sh        exit 0 when every include goes down or sideways, 1 otherwise
set -euo pipefail
cd "$(dirname "$0")/.."

order=$(sed -n 's/^layers (bottom first): *//p' docs/architecture.md | head -n 1)
[ -n "$order" ] || { echo "check_layers.sh: no 'layers (bottom first):' line in docs/architecture.md" >&2; exit 2; }

declare -A rank
i=0
for layer in $order; do
  [ -d "$layer" ] || { echo "check_layers.sh: layer $layer is not a folder" >&2; exit 2; }
  rank[$layer]=$i
  i=$((i + 1))
done

bad=0
for layer in $order; do
  while IFS= read -r file; do
    while IFS=: read -r line header; do
      target=${header%%/*}
      [ -n "${rank[$target]+set}" ] || continue  # a system or third-party header
      if [ "${rank[$target]}" -gt "${rank[$layer]}" ]; then
        echo "$file:$line: includes $header, from layer $target above $layer"
        bad=1
      fi
    done < <(awk '/^#include "/ { match($0, /"[^"]*"/); print FNR ":" substr($0, RSTART + 1, RLENGTH - 2) }' "$file")
  done < <(git ls-files "$layer/*.h" "$layer/*.cpp" 2>/dev/null; git ls-files --others --exclude-standard "$layer/*.h" "$layer/*.cpp" 2>/dev/null)
done
[ $bad = 0 ] && echo "layers: every include goes down ($order)"
exit $bad
