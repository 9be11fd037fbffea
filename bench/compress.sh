#!/usr/bin/env bash
# The compression run at scale, against libpst's readpst on the same file
# in the same run (the machine's load moves both alike, so the ratios are
# the figures to compare). Three parts, each on a PST generated here:
#   mid    a PST of about 370 MB: 30,000 messages in 40 folders, 0.4
#          attachments of about 20 KB per message;
#   big    a PST of at least 1 GiB: 60,000 messages in 30 folders, 0.5
#          attachments of about 28 KB per message;
#   scale  400,000 small messages without attachments (1,000,000 with
#          SLOW=1), compressed with remove; the new PST then goes through
#          `varnolt-cli check` and readpst.
#   huge   one message holding one attachment of at least 1 GiB
#          (HUGE_SIZE sets the generator's mean size), compressed with each
#          treatment: peak RSS must not follow the attachment's size. Each
#          result is shown by the sha256 of the saved file or archive,
#          `unzip -tq` of the archive and `varnolt-cli check` of the new PST,
#          so two builds can be compared on the same file.
# For mid and big, readpst -o then varnolt-cli compress with each treatment
# (remove, extract, extract-zip) and cp of the file, in rounds. For each
# command, from its median round: seconds, the ratio to readpst's median
# seconds, user and system CPU seconds, peak RSS, the
# bytes the run wrote to disk (the kernel's count of bytes written, scratch
# files included, from /usr/bin/time's file system outputs in 512-byte
# units), the bytes of its results (new PST and saved files) and the ratio
# of the two, and for compress the new PST's size divided by the source's
# size less its attachment bytes (1.0 or below: nothing but the
# attachments' room is gone, nothing was inflated).
#
# usage: bench/compress.sh [BUILD_DIR] [WORK_DIR]
#   BUILD_DIR  where bin/varnolt-cli is (default: build)
#   WORK_DIR   scratch folder on the disk to measure (default: $TMPDIR or
#              /tmp); needs about 1 + 3 x ROUNDS times the big PST's size
#              free.
#              Every file made here is deleted at the end.
# FRESH_FS=1 (as root) runs mid and big each on an ext4 file system made
# for it in an image file under WORK_DIR: on ext4 a new file is placed past
# every inode deleted in the last minutes, so on a disk where thousands of
# files were just deleted (a previous run's results, a build) each file
# created costs up to a millisecond more, for readpst and compress alike
# but far more for extract, which creates one per attachment.
# Environment: PARTS (default "mid big scale"; huge runs only when named),
# ROUNDS (3: how many times mid and big are each measured), SLOW=1 (scale run of
# 1,000,000 messages), SCALE_MESSAGES (overrides the scale run's count),
# MESSAGES, ATTACHMENT_SIZE, ATTACHMENTS_PER_MESSAGE, FOLDERS (the big
# PST's make-up), SEED (7); MIN_SIZE and MIN_MESSAGES lower the big PST's
# floor for a quick trial of the script itself.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
cli=$build/bin/varnolt-cli
[ -x "$cli" ] || { echo "build varnolt-cli first ($cli)"; exit 1; }
command -v readpst > /dev/null || { echo "readpst is not installed (Debian pst-utils)"; exit 1; }
[ -x /usr/bin/time ] || { echo "/usr/bin/time is not installed (Debian time)"; exit 1; }
work=$(mktemp -d "${2:-${TMPDIR:-/tmp}}/bench_compress.XXXXXX")
# here: where a part's PST and results go ($work, or its fresh file system).
here=$work
trap 'mountpoint -q "$work/fs" && umount "$work/fs"; rm -rf "$work"' EXIT
parts=${PARTS:-mid big scale}
seed=${SEED:-7}

echo "== scratch folder $work"
df -h "$work" | tail -1
echo "== load: $(uptime)"

results=()
runs=()
summary=()
size=0 count=0 attachmentBytes=0 readpstSeconds=""

# generate NAME ARGS...: makes $here/NAME.pst and sets size, count and
# attachmentBytes from what generate reports.
generate() {
  local name=$1
  shift
  pst=$here/$name.pst
  echo "== generating $name: $*"
  local gen
  gen=$("$cli" generate "$pst" "$@" --seed "$seed")
  echo "$gen"
  size=$(stat -c %s "$pst")
  # "F folders, M messages, R recipients, A attachments (B bytes)"
  count=$(sed -E 's/.* ([0-9]+) messages.*/\1/' <<< "$gen")
  attachmentBytes=$(sed -E 's/.*\(([0-9]+) bytes\).*/\1/' <<< "$gen")
  echo "source: $size bytes, $count messages, $attachmentBytes bytes of attachments"
  sync
}

# freshCache: with FRESH_FS=1, every command starts with the same page
# cache, the source PST in it and nothing else. The results of the rounds
# before (twice over: the image's file system and the disk under it)
# otherwise fill the memory, and each later command pays for its reclaim:
# an extract of the mid PST took 4.6 s with 6 GiB free and 3.7 s after the
# cache was dropped, with 0.9 s more system time.
freshCache() {
  [ "${FRESH_FS:-0}" = 1 ] || return 0
  echo 1 > /proc/sys/vm/drop_caches
  cat "$pst" > /dev/null
}

# measure NAME RESULT_DIR_OR_FILE COMMAND...: runs the command under
# /usr/bin/time and adds a line to results. The results' bytes are what
# RESULT holds once the command is done.
measure() {
  local name=$1 result=$2
  shift 2
  sync
  freshCache
  local status=0
  /usr/bin/time -f "%e %M %U %S %O" -o "$work/time" "$@" > "$work/stdout" 2> "$work/stderr" || status=$?
  if [ "$status" -ne 0 ]; then
    echo "$name: exit status $status"
    tail -n 20 "$work/stderr"
    tail -n 20 "$work/stdout"
  fi
  local secs rss user sys blocks ratio="-" resultBytes=0
  read -r secs rss user sys blocks < <(tail -n 1 "$work/time")
  [ -e "$result" ] && resultBytes=$(du -sb "$result" | cut -f1)
  local f
  f=$(find "$result" -name '*.pst' -newer "$pst" 2> /dev/null | head -1 || true)
  if [ -n "$f" ] && [[ "$name" == compress* ]]; then
    ratio=$(awk -v n="$(stat -c %s "$f")" -v s="$size" -v a="$attachmentBytes" 'BEGIN { printf "%.3f", n / (s - a) }')
    grep -E "messages copied|attachments|size|failed steps" "$work/stdout" | sed 's/^/    /' || true
  fi
  [ "$name" = "readpst -o" ] && readpstSeconds=$secs
  results+=("$(awk -v name="$name" -v t="$secs" -v base="$readpstSeconds" -v m="$rss" -v u="$user" -v k="$sys" \
    -v w="$blocks" -v rb="$resultBytes" -v c="$count" -v r="$ratio" 'BEGIN {
      x = base > 0 ? sprintf("%.2f", t / base) : "-"
      wr = rb > 0 ? sprintf("%.2f", w * 512 / rb) : "-"
      printf "%-22s %8.1f %7s %7.1f %7.1f %8.1f %9.0f %9.0f %6s %9.0f %6s", name, t, x, u, k, m / 1024,
        w * 512 / 1e6, rb / 1e6, wr, c / t, r }')")
  echo "${results[-1]}"
  runs+=("$(printf "%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s" "$name" "$secs" "$rss" "$user" "$sys" "$blocks" \
    "$resultBytes" "$count" "$ratio")")
}

# medians: a line for each command of the rounds in runs, in the order they
# first ran. Its figures are those of the command's median round by seconds,
# except peak RSS, the highest of any round; its ratio is its median
# seconds over readpst's median seconds; the last column lists every
# round's seconds.
medians() {
  printf "%s\n" "${runs[@]}" | awk -F '\t' '
    !($1 in n) { order[++names] = $1 }
    { k = ++n[$1]; t[$1, k] = $2; row[$1, k] = $0; if ($3 > peak[$1]) peak[$1] = $3 }
    function median(name,   i, j, x, idx, m) {
      m = n[name]
      for (i = 1; i <= m; i++) idx[i] = i
      for (i = 2; i <= m; i++)
        for (j = i; j > 1 && t[name, idx[j - 1]] + 0 > t[name, idx[j]] + 0; j--) { x = idx[j]; idx[j] = idx[j - 1]; idx[j - 1] = x }
      return idx[int((m + 1) / 2)]
    }
    END {
      base = ("readpst -o" in n) ? t["readpst -o", median("readpst -o")] : 0
      for (o = 1; o <= names; o++) {
        name = order[o]
        split(row[name, median(name)], f, "\t")
        each = ""
        for (i = 1; i <= n[name]; i++) each = each (i > 1 ? "/" : "") t[name, i]
        x = base > 0 ? sprintf("%.2f", f[2] / base) : "-"
        wr = f[7] > 0 ? sprintf("%.2f", f[6] * 512 / f[7]) : "-"
        printf "%-22s %8.1f %7s %7.1f %7.1f %8.1f %9.0f %9.0f %6s %9.0f %6s  %s\n", name, f[2], x, f[4], f[5],
          peak[name] / 1024, f[6] * 512 / 1e6, f[7] / 1e6, wr, (f[2] > 0 ? f[8] / f[2] : 0), f[9], each
      }
    }'
}

header() {
  printf "%-22s %8s %7s %7s %7s %8s %9s %9s %6s %9s %6s\n" "" "seconds" "x rdpst" "user s" "sys s" "RSS MiB" \
    "MB writ." "MB result" "w/res" "msgs/s" "newPST"
}

# compare NAME: readpst, each treatment and cp on $pst, in ROUNDS rounds
# (default 3); the summary takes each command's median round. On a shared
# machine one run of a few seconds can take twice as long as the next, and
# taking the rounds in turn lets the load fall on every command alike.
compare() {
  local name=$1 rounds=${ROUNDS:-3} round
  runs=()
  for ((round = 1; round <= rounds; round++)); do
    results=()
    readpstSeconds=""
    echo "== round $round of $rounds: readpst -o"
    mkdir "$here/readpst"
    measure "readpst -o" "$here/readpst" readpst -q -o "$here/readpst" "$pst"
    rm -rf "$here/readpst"
    # Each treatment's results stay until every round is done: ext4 makes
    # every new file search past the inodes deleted in the last half minute
    # or so, so deleting one run's thousands of files just before the next
    # would charge the next run for them.
    for treatment in remove extract extract-zip; do
      echo "== round $round of $rounds: varnolt-cli compress --treatment $treatment"
      mkdir "$here/dest-$treatment-$round"
      measure "compress $treatment" "$here/dest-$treatment-$round" "$cli" compress --treatment "$treatment" \
        --dest "$here/dest-$treatment-$round" "$pst"
      if [ -d "$here/dest-$treatment-$round" ] && find "$here/dest-$treatment-$round" -name 'MSG Folder' | grep -q .; then
        echo "    a scratch folder was left behind"
      fi
    done
    echo "== round $round of $rounds: cp"
    measure "cp" "$here/copy-$round.pst" cp "$pst" "$here/copy-$round.pst"
  done
  rm -rf "$here"/dest-* "$here"/copy-*.pst
  summary+=("" "$name: $size bytes, $count messages, $attachmentBytes bytes of attachments; $rounds rounds, the median of each; load at the end: $(cut -d' ' -f1-3 /proc/loadavg)")
  summary+=("$(header)  seconds of each round")
  summary+=("$(medians)")
  rm -f "$pst"
}

# freshFs GIB: a new ext4 file system of GIB gibibytes (an image in $work)
# becomes $here, when FRESH_FS=1. The image's space is allocated up front
# and the file system's inode tables and journal are written by mkfs:
# with a sparse image, every round that kept its results wrote into space
# the disk below had never given the image, and a kernel thread went on
# zeroing inode tables while the rounds ran; an extract of the mid PST
# took 4.9-5.0 s in such rounds against 3.1 s in the first.
freshFs() {
  [ "${FRESH_FS:-0}" = 1 ] || return 0
  [ "$(id -u)" = 0 ] || { echo "FRESH_FS=1 needs root (mount)"; exit 1; }
  fallocate -l "$1G" "$work/fs.img" 2> /dev/null || truncate -s "$1G" "$work/fs.img"
  mkfs.ext4 -q -F -E lazy_itable_init=0,lazy_journal_init=0 "$work/fs.img"
  mkdir -p "$work/fs"
  mount -o loop "$work/fs.img" "$work/fs"
  here=$work/fs
  echo "== on a new ext4 file system of $1 GiB"
}

# dropFs: back to $work after a part on its own file system.
dropFs() {
  if [ "$here" != "$work" ]; then
    umount "$work/fs"
    rm -f "$work/fs.img"
    here=$work
  fi
}

for part in $parts; do
  case $part in
    mid)
      freshFs $((4 + 2 * ${ROUNDS:-3}))
      generate mid --folders 40 --messages 30000 --attachments-per-message 0.4 --attachment-size 20000
      compare "mid (about 370 MB)"
      dropFs
      ;;
    big)
      freshFs $((6 + 5 * ${ROUNDS:-3}))
      generate big --folders "${FOLDERS:-30}" --messages "${MESSAGES:-60000}" --recipients 2 \
        --attachments-per-message "${ATTACHMENTS_PER_MESSAGE:-0.5}" --attachment-size "${ATTACHMENT_SIZE:-28000}"
      if [ "$size" -lt "${MIN_SIZE:-1073741824}" ] || [ "$count" -lt "${MIN_MESSAGES:-50000}" ]; then
        echo "the PST is smaller than 1 GiB or has fewer than 50,000 messages: raise MESSAGES or ATTACHMENT_SIZE"
        exit 1
      fi
      compare "big (at least 1 GiB)"
      dropFs
      ;;
    scale)
      messages=${SCALE_MESSAGES:-$([ "${SLOW:-0}" = 1 ] && echo 1000000 || echo 400000)}
      generate scale --folders 20 --messages "$messages" --attachments-per-message 0
      results=()
      readpstSeconds=""
      rm -rf "$work/dest"
      mkdir "$work/dest"
      echo "== varnolt-cli compress --treatment remove"
      measure "compress remove" "$work/dest" "$cli" compress --treatment remove --dest "$work/dest" "$pst"
      rm -f "$pst"
      newpst=$(find "$work/dest" -name '*.pst' | head -1)
      checked="no new PST"
      readable="no new PST"
      if [ -n "$newpst" ]; then
        echo "== varnolt-cli check"
        checked=$("$cli" check "$newpst" 2>&1 | tail -n 1) || checked="check failed: $checked"
        echo "$checked"
        echo "== readpst -o on the new PST"
        mkdir "$work/readpst"
        if readpst -q -o "$work/readpst" "$newpst" > "$work/stdout" 2>&1; then
          readable="readpst read it: $(find "$work/readpst" -type f | wc -l) files, $(du -sb "$work/readpst" | cut -f1) bytes"
        else
          readable="readpst failed: $(tail -n 3 "$work/stdout")"
        fi
        echo "$readable"
        rm -rf "$work/readpst"
      fi
      rm -rf "$work/dest"
      summary+=("" "scale: $count messages, $size bytes; load at the end: $(cut -d' ' -f1-3 /proc/loadavg)")
      summary+=("$(header)")
      summary+=("${results[@]}")
      summary+=("  check: ${checked##*/}" "  $readable")
      ;;
    huge)
      generate huge --folders 1 --messages 1 --recipients 1 --attachments-per-message 1 \
        --attachment-size "${HUGE_SIZE:-1000000000}"
      if [ "$attachmentBytes" -lt "${MIN_SIZE:-1073741824}" ]; then
        echo "the attachment is smaller than 1 GiB: raise HUGE_SIZE or change SEED"
        exit 1
      fi
      results=()
      readpstSeconds=""
      checks=()
      for treatment in remove extract extract-zip; do
        echo "== varnolt-cli compress --treatment $treatment"
        rm -rf "$work/dest"
        mkdir "$work/dest"
        measure "compress $treatment" "$work/dest" "$cli" compress --treatment "$treatment" --dest "$work/dest" "$pst"
        while IFS= read -r -d '' f; do
          case $f in
            *.pst) checks+=("  $treatment: new PST: $("$cli" check "$f" 2>&1 | tail -n 1)") ;;
            *.zip) checks+=("  $treatment: $(sha256sum < "$f" | cut -c1-16) $(stat -c %s "$f") $(basename "$f"); unzip -tq: $(unzip -tq "$f" 2>&1 | tail -n 1)") ;;
            *) checks+=("  $treatment: $(sha256sum < "$f" | cut -c1-16) $(stat -c %s "$f") $(basename "$f")") ;;
          esac
        done < <(find "$work/dest" -type f ! -name '*.log' ! -name '*.txt' ! -name '*.json' -print0 | sort -z)
        rm -rf "$work/dest"
      done
      rm -f "$pst"
      summary+=("" "huge: one attachment of $attachmentBytes bytes in a PST of $size bytes; load at the end: $(cut -d' ' -f1-3 /proc/loadavg)")
      summary+=("$(header)")
      summary+=("${results[@]}")
      summary+=("${checks[@]}")
      ;;
    *)
      echo "unknown part $part (mid, big, scale, huge)"
      exit 1
      ;;
  esac
done

printf "%s\n" "${summary[@]}"
