#!/usr/bin/env bash
# The compression run at scale. Generates a PST of at least 1 GiB with at
# least 50,000 messages (about half of them with an attachment, sizes
# varying around 28 KB), then in one go times on that file:
#   varnolt-cli compress with each treatment (remove, extract, extract-zip),
#   readpst -o (libpst's conversion of the whole file to mbox files),
#   cp of the file.
# For each: seconds, MB/s of source file, messages per second, peak RSS
# and CPU seconds (user + system; on a busy machine the wall time follows
# the share of the processors a run gets) from /usr/bin/time, and for compress the new PST's size divided by the
# source's size less its attachment bytes (1.0 or below: nothing but the
# attachments' room is gone, nothing was inflated).
#
# usage: bench/compress.sh [BUILD_DIR] [WORK_DIR]
#   BUILD_DIR  where bin/varnolt-cli is (default: build)
#   WORK_DIR   scratch folder on the disk to measure (default: $TMPDIR or
#              /tmp); needs about three times the PST's size free. Every
#              file made here is deleted at the end.
# Environment: MESSAGES (default 60000), ATTACHMENT_SIZE (28000),
# ATTACHMENTS_PER_MESSAGE (0.5), FOLDERS (30), SEED (7); MIN_SIZE and
# MIN_MESSAGES lower the floor for a quick trial of the script itself.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
cli=$build/bin/varnolt-cli
[ -x "$cli" ] || { echo "build varnolt-cli first ($cli)"; exit 1; }
command -v readpst > /dev/null || { echo "readpst is not installed (Debian pst-utils)"; exit 1; }
[ -x /usr/bin/time ] || { echo "/usr/bin/time is not installed (Debian time)"; exit 1; }
work=$(mktemp -d "${2:-${TMPDIR:-/tmp}}/bench_compress.XXXXXX")
trap 'rm -rf "$work"' EXIT

messages=${MESSAGES:-60000}
echo "== scratch folder $work"
df -h "$work" | tail -1

pst=$work/source.pst
echo "== generating $messages messages"
gen=$("$cli" generate "$pst" --folders "${FOLDERS:-30}" --messages "$messages" --recipients 2 \
  --attachments-per-message "${ATTACHMENTS_PER_MESSAGE:-0.5}" --attachment-size "${ATTACHMENT_SIZE:-28000}" \
  --seed "${SEED:-7}")
echo "$gen"
size=$(stat -c %s "$pst")
# "F folders, M messages, R recipients, A attachments (B bytes)"
count=$(sed -E 's/.* ([0-9]+) messages.*/\1/' <<< "$gen")
attachmentBytes=$(sed -E 's/.*\(([0-9]+) bytes\).*/\1/' <<< "$gen")
echo "source: $size bytes, $count messages, $attachmentBytes bytes of attachments"
if [ "$size" -lt "${MIN_SIZE:-1073741824}" ] || [ "$count" -lt "${MIN_MESSAGES:-50000}" ]; then
  echo "the PST is smaller than 1 GiB or has fewer than 50,000 messages: raise MESSAGES or ATTACHMENT_SIZE"
  exit 1
fi
sync

results=()
# measure NAME NEW_PST_OR_EMPTY COMMAND...
measure() {
  local name=$1 newpst=$2
  shift 2
  sync
  local status=0
  /usr/bin/time -f "%e %M %U %S" -o "$work/time" "$@" > "$work/stdout" 2> "$work/stderr" || status=$?
  if [ "$status" -ne 0 ]; then
    echo "$name: exit status $status"
    tail -n 20 "$work/stderr"
    tail -n 20 "$work/stdout"
  fi
  local secs rss user sys ratio="-"
  read -r secs rss user sys < <(tail -n 1 "$work/time")
  if [ -n "$newpst" ]; then
    local f
    f=$(ls "$work"/dest/*/KestrikCompress.pst 2> /dev/null | head -1)
    if [ -n "$f" ]; then
      ratio=$(awk -v n="$(stat -c %s "$f")" -v s="$size" -v a="$attachmentBytes" 'BEGIN { printf "%.3f", n / (s - a) }')
      grep -E "messages copied|attachments|size|failed steps" "$work/stdout" | sed 's/^/    /'
    fi
  fi
  results+=("$(awk -v name="$name" -v t="$secs" -v m="$rss" -v s="$size" -v c="$count" -v r="$ratio" -v u="$user" \
    -v k="$sys" 'BEGIN { printf "%-22s %9.1f %9.1f %11.0f %12.1f %8s %9.1f", name, t, s / t / 1e6, c / t, m / 1024, r, u + k }')")
  echo "${results[-1]}"
}

for treatment in remove extract extract-zip; do
  echo "== varnolt-cli compress --treatment $treatment"
  rm -rf "$work/dest"
  mkdir "$work/dest"
  measure "compress $treatment" yes "$cli" compress --treatment "$treatment" --dest "$work/dest" "$pst"
  rm -rf "$work/dest"
done

echo "== readpst -o"
mkdir "$work/readpst"
measure "readpst -o" "" readpst -q -o "$work/readpst" "$pst"
rm -rf "$work/readpst"

echo "== cp"
measure "cp" "" cp "$pst" "$work/copy.pst"
rm -f "$work/copy.pst"

echo
echo "source: $size bytes, $count messages, $attachmentBytes bytes of attachments"
printf "%-22s %9s %9s %11s %12s %8s %9s\n" "" "seconds" "MB/s" "messages/s" "peak RSS MiB" "ratio" "CPU s"
printf "%s\n" "${results[@]}"
