#!/usr/bin/env bash
# Mutation run of the modules named (all rows of modules.txt if none), from a
# clone (ROOT) configured with Ninja, Debug, no sanitizer.  MODE=base writes
# NAME.json (seeded sample); MODE=after reruns the killed mutants of NAME.json
# into NAME.after.json and fails if a kill was lost; MODE=survivors reruns the
# survivors into NAME.survivors.json (what added test rows now kill);
# MODE=fix reruns NAME.lost.json, the kills a trim lost, into NAME.fix.json
# once the tests that held them are back.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd); root=${ROOT:-$(cd "$here/../.." && pwd)}
B=${B:-$root/build-mut} MODE=${MODE:-base} N=${N:-40}
tool=${MUTANTS:-/work/shared/tools/mutants.py}
grep -v '^#' "$here/modules.txt" | while IFS=';' read -r name srcs regex targets; do
  name=$(echo $name); [ $# -eq 0 ] || [[ " $* " == *" $name "* ]] || continue
  t=(); for x in $targets; do t+=(--target "$x"); done
  r=${regex# }; r=${r% }
  if [ "$MODE" = base ]; then sel=(--sample "$N" --seed 1 --json "$here/$name.json")
  elif [ "$MODE" = after ]; then sel=(--rerun "$here/$name.json" --rerun-status killed,timeout \
            --json "$here/$name.after.json" --compare "$here/$name.json")
  elif [ "$MODE" = survivors ]; then
    sel=(--rerun "$here/$name.json" --rerun-status survived --json "$here/$name.survivors.json")
  else sel=(--rerun "$here/$name.lost.json" --rerun-status killed,timeout --json "$here/$name.fix.json"); fi
  # A dropped or changed log line is not a fault of behaviour: no mutants there.
  (cd "$root" && python3 "$tool" -B "$B" -R "$r" "${t[@]}" "${sel[@]}" \
     --exclude-lines '^\s*(KLOG_[A-Z]+|ALOG_[A-Z]+|CLI_LOG|OPER_LOG|DRM_LOG|DRM_ADPT_LOG)\(' $srcs) </dev/null
done
