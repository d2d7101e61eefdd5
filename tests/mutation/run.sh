#!/usr/bin/env bash
# Mutation run of the modules named (all rows of modules.txt if none), from a
# clone (ROOT) configured with Ninja, Debug, no sanitizer.  MODE=base writes
# NAME.json (seeded sample); MODE=after reruns the killed mutants of NAME.json
# into NAME.after.json and fails if a kill was lost.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd); root=${ROOT:-$(cd "$here/../.." && pwd)}
B=${B:-$root/build-mut} MODE=${MODE:-base} N=${N:-40}
tool=${MUTANTS:-/work/shared/tools/mutants.py}
grep -v '^#' "$here/modules.txt" | while IFS=';' read -r name srcs regex targets; do
  name=$(echo $name); [ $# -eq 0 ] || [[ " $* " == *" $name "* ]] || continue
  t=(); for x in $targets; do t+=(--target "$x"); done
  r=${regex# }; r=${r% }
  if [ "$MODE" = base ]; then sel=(--sample "$N" --seed 1 --json "$here/$name.json")
  else sel=(--rerun "$here/$name.json" --rerun-status killed,timeout \
            --json "$here/$name.after.json" --compare "$here/$name.json"); fi
  # A dropped or changed log line is not a fault of behaviour: no mutants there.
  (cd "$root" && python3 "$tool" -B "$B" -R "$r" "${t[@]}" "${sel[@]}" \
     --exclude-lines '^\s*(KLOG|ALOG)_[A-Z]+\(' $srcs) </dev/null
done
