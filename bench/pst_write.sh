#!/usr/bin/env bash
# Writes generated PSTs with bench_pst_write and copies each with cp in the
# same run: a file of about 1 GiB (messages with attachments) and 100,000
# small messages in 100 folders. Prints MB/s, messages per second and peak
# memory of the writer beside cp's rate. Needs about 3 GiB of free disk.
#
# usage: bench/pst_write.sh [BUILD_DIR] [SCRATCH_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
bench=$build/bin/bench_pst_write
[ -x "$bench" ] || { echo "build bench_pst_write first ($bench)"; exit 1; }
scratch=$(mktemp -d "${2:-${TMPDIR:-/tmp}}/pst_write.XXXXXX")
trap 'rm -rf "$scratch"' EXIT

echo "== 1 GiB: 10,000 messages, one attachment of about 100 KB each on average"
"$bench" "$scratch/large.pst" --messages 10000 --folders 50 --attachments-per-message 1 --attachment-size 100000
rm -f "$scratch/large.pst"
echo "== 100,000 small messages in 100 folders"
"$bench" "$scratch/small.pst" --messages 100000 --folders 100 --attachments-per-message 0
