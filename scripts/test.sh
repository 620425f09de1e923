#!/usr/bin/env bash
# Installs what is missing, builds, runs every test and ends with "N passed, N failed".
set -uo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh || exit 1
scripts/build.sh || exit 1
export QT_QPA_PLATFORM=offscreen
log=$(mktemp)
(cd build && ctest --output-on-failure --timeout 300 -j 2) 2>&1 | tee "$log"
status=${PIPESTATUS[0]}
summary=$(grep -E '[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1)
rm -f "$log"
if [ -z "$summary" ]; then
  echo "0 passed, 1 failed"
  exit 1
fi
failed=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$summary")
total=$(sed -E 's/.* failed out of ([0-9]+).*/\1/' <<<"$summary")
echo "$((total - failed)) passed, $failed failed"
exit "$status"
