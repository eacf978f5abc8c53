#!/usr/bin/env bash
# Runs every fuzz target of a fuzz build for a bounded time, several targets
# at a time (FUZZ_JOBS, default 4); each target's output is shown together
# once it ends. Fails when a target was not built or any target fails.
# Usage: run_all.sh BUILD_DIR MEDIA_DIR SECONDS
# A target's seeds: tests/fuzz/seeds/<target>.list names files (relative to
# the media folder) copied into a fresh corpus folder before the run.
set -euo pipefail
build=$1 media=$2 seconds=$3
jobs=${FUZZ_JOBS:-4}
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Fuzzes one target; its report goes to $work/<name>.report, and the status
# file is written only when it passed.
fuzz_one() {
  local name=$1 corpus="$work/$1.corpus" log="$work/$1.log"
  mkdir -p "$corpus"
  if [ -f "$here/seeds/$name.list" ]; then
    while read -r f; do
      [ -n "$f" ] && [ -f "$media/$f" ] && cp "$media/$f" "$corpus/" || true
    done < "$here/seeds/$name.list"
  fi
  # The preview chain is held to what previews may take: an allocation of
  # 300 MiB (one picture may take 256) or a resident set of 1 GiB is a
  # finding. The target's own set grows to about 400 MiB over ten minutes
  # (its corpus, and what the sanitizer's allocator keeps), and a picture
  # that takes its 256 MiB comes on top of that at any time. A small
  # quarantine keeps freed pictures from counting.
  local limits=(-rss_limit_mb=2048) asan=detect_leaks=1
  if [ "$name" = fuzz_preview ]; then
    limits=(-rss_limit_mb=1024 -malloc_limit_mb=300)
    asan=$asan:quarantine_size_mb=16
  fi
  {
    echo "fuzzing $name for ${seconds}s"
    if ASAN_OPTIONS=$asan "$build/$name" -max_total_time="$seconds" "${limits[@]}" \
         -max_len=1048576 -timeout=25 -print_final_stats=0 "$corpus" > "$log" 2>&1; then
      grep -E '^(#[0-9]+.*DONE|Done)' "$log" | tail -n 1 || true
      touch "$work/$name.passed"
    else
      echo "fuzz target $name FAILED:"; tail -n 60 "$log"
    fi
  } > "$work/$name.report" 2>&1
  rm -rf "$corpus" "$log"
}

names=()
for src in "$here"/*.cpp; do
  [ -e "$src" ] || continue
  name=$(basename "$src" .cpp)
  [ -x "$build/$name" ] || { echo "fuzz target $name was not built"; exit 1; }
  names+=("$name")
done

running=0
for name in "${names[@]}"; do
  if [ "$running" -ge "$jobs" ]; then
    wait -n || true
    running=$((running - 1))
  fi
  fuzz_one "$name" &
  running=$((running + 1))
done
wait

status=0
for name in "${names[@]}"; do
  cat "$work/$name.report"
  [ -f "$work/$name.passed" ] || status=1
done
exit $status
