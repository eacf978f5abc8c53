#!/usr/bin/env bash
# Makes the demo's sample disk image: a small FAT volume with a few pictures
# and a text note, some of them deleted afterwards (as a user would by
# mistake). Real tools only: ImageMagick draws the pictures, mkfs.fat formats
# the image and mtools copies and deletes. The result is the same on every run.
#
#   demo/make_sample.sh OUT.img
set -euo pipefail
out=${1:?usage: make_sample.sh OUT.img}
export SOURCE_DATE_EPOCH=1700000000
export TZ=UTC
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Pictures: fixed seeds, no metadata that carries the time of the run.
convert -size 800x600 -seed 11 plasma:darkblue-orange -strip -quality 90 "$work/sunset.jpg"
convert -size 640x480 -seed 23 plasma:green-yellow -blur 0x2 -strip -quality 88 "$work/meadow.jpg"
convert -size 512x512 pattern:checkerboard -fill red -draw 'circle 256,256 256,100' -strip -quality 92 \
  "$work/board.jpg"
convert -size 400x300 gradient:navy-skyblue -strip -quality 85 "$work/sky.jpg"
cat > "$work/notes.txt" <<'TEXT'
Holiday notes

Day 1: arrived late, the sunset from the balcony was worth the trip.
Day 2: walked across the meadow to the old mill; took far too many pictures.
Day 3: rain. Board games all afternoon.

Remember: copy the pictures off the card before formatting it!
TEXT
touch -d @"$SOURCE_DATE_EPOCH" "$work"/*

rm -f "$out"
mkfs.fat -C -F 16 -i 20231114 -n VORNDEMO "$out" 16384 >/dev/null
export MTOOLS_SKIP_CHECK=1
mmd -i "$out" ::/DCIM
mcopy -m -i "$out" "$work/sunset.jpg" "$work/meadow.jpg" "$work/board.jpg" "$work/sky.jpg" ::/DCIM/
mcopy -m -i "$out" "$work/notes.txt" ::/
# The mistake: two pictures deleted. Their clusters are free now, but still
# hold the pictures until something else is written there.
mdel -i "$out" ::/DCIM/sunset.jpg ::/DCIM/board.jpg
