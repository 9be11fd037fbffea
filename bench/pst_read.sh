#!/usr/bin/env bash
# Reads one PST with bench_pst_read (every property, every attachment byte)
# and with libpff's pffexport -f all, side by side in one run, and prints
# time and peak memory of each. pffexport also writes its export to a
# scratch folder (on tmpfs where there is one), so its figure includes
# writing; ours reads only.
#
# usage: bench/pst_read.sh [FILE.pst] [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
file=${1:-../shared/samples/pst/mixed-attachments.pst}
build=${2:-build}
bench=$build/bin/bench_pst_read
[ -x "$bench" ] || { echo "build bench_pst_read first ($bench)"; exit 1; }
scratch=$(mktemp -d /dev/shm/pst_read.XXXXXX 2>/dev/null || mktemp -d)
trap 'rm -rf "$scratch"' EXIT

echo "== varnolt bench_pst_read $file"
"$bench" "$file"

if command -v pffexport > /dev/null; then
  echo "== pffexport -f all $file (10 runs)"
  start=$(date +%s.%N)
  for i in $(seq 10); do
    rm -rf "$scratch/out"*
    pffexport -q -f all -t "$scratch/out" "$file" > /dev/null 2> "$scratch/errors" || true
  done
  end=$(date +%s.%N)
  size=$(stat -c %s "$file")
  awk -v s="$start" -v e="$end" -v n="$size" \
    'BEGIN { t = (e - s) / 10; printf "seconds per run: %.6f\nrate: %.1f MB/s of file\n", t, n / t / 1e6 }'
  rm -rf "$scratch/out"*
  echo "pffexport complained $(grep -c 'unable to retrieve item type' "$scratch/errors" || true) times (items it could not read)"
  /usr/bin/time -o "$scratch/time" -f "one run: wall %e s, peak RSS %M KiB" \
    pffexport -q -f all -t "$scratch/out" "$file" > /dev/null 2> /dev/null || true
  cat "$scratch/time"
else
  echo "pffexport is not installed (Debian pff-tools)"
fi
