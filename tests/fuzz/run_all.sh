#!/usr/bin/env bash
# Runs every fuzz target of a fuzz build for a bounded time.
# Usage: run_all.sh BUILD_DIR MEDIA_DIR SECONDS
# A target's seeds: tests/fuzz/seeds/<target>.list names files (relative to
# the media folder) copied into a fresh corpus folder before the run.
set -euo pipefail
build=$1 media=$2 seconds=$3
here=$(cd "$(dirname "$0")" && pwd)
status=0
for src in "$here"/*.cpp; do
  [ -e "$src" ] || continue
  name=$(basename "$src" .cpp)
  bin="$build/$name"
  [ -x "$bin" ] || { echo "fuzz target $name was not built"; exit 1; }
  corpus=$(mktemp -d)
  if [ -f "$here/seeds/$name.list" ]; then
    while read -r f; do
      [ -n "$f" ] && [ -f "$media/$f" ] && cp "$media/$f" "$corpus/" || true
    done < "$here/seeds/$name.list"
  fi
  echo "fuzzing $name for ${seconds}s"
  if ! ASAN_OPTIONS=detect_leaks=1 "$bin" -max_total_time="$seconds" -rss_limit_mb=2048 \
       -max_len=1048576 -timeout=25 -print_final_stats=0 "$corpus" > "$corpus.log" 2>&1; then
    echo "fuzz target $name FAILED:"; tail -n 60 "$corpus.log"; status=1
  else
    grep -E '^(#[0-9]+.*DONE|Done)' "$corpus.log" | tail -n 1 || true
  fi
  rm -rf "$corpus" "$corpus.log"
done
exit $status
