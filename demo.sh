#!/usr/bin/env bash
# vorn demo: builds vorn, makes a small sample disk image (a FAT volume from
# which two pictures were deleted), lists the volume, scans it for deleted
# files and saves what it finds into demo-out/, then shows what came back.
# Installs the Debian packages it needs first (as root or through sudo).
set -euo pipefail
cd "$(dirname "$0")"
root=$(pwd)

step() { printf '\n\033[1m==== %s\033[0m\n' "$*"; }

step "checking the packages vorn needs"
tests/install_packages.sh tests/packages-demo.txt

step "building vorn"
# The program alone: the test suite and benchmarks need more packages (test.sh).
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORN_TESTS=OFF -DVORN_BENCH=OFF \
  -DVORN_MEDIA_DIR="$root/build/media" >/dev/null
cmake --build build --target vorn -j "$(nproc)"
vorn="$root/build/vorn"

sample="$root/build/demo/sample.img"
if [ ! -f "$sample" ] || [ demo/make_sample.sh -nt "$sample" ]; then
  step "making the sample disk image (demo/make_sample.sh)"
  mkdir -p "$(dirname "$sample")"
  demo/make_sample.sh "$sample"
fi
echo "sample image: $sample ($(du -h --apparent-size "$sample" | cut -f1))"

step "the volume as it is: vorn -cli img sample.img b ct 0.0"
echo "(img chooses the image, b browses its volume, ct 0.0 shows the first folder, DCIM)"
"$vorn" -cli img "$sample" b ct 0.0
echo

step "scanning for deleted files: vorn -cli img sample.img sd ct 0 r demo-out"
echo "(sd scans the free space of the volume, ct 0 chooses the whole result, r saves it)"
rm -rf demo-out
"$vorn" -cli img "$sample" sd ct 0 r demo-out
echo

step "what was recovered (into demo-out/)"
if [ -d demo-out ] && [ -n "$(find demo-out -type f)" ]; then
  (cd demo-out && find . -type f | sort | while read -r f; do
    printf '%10s bytes  %-40s %s\n' "$(stat -c %s "$f")" "${f#./}" "$(file -b "$f" | cut -c1-60)"
  done)
  echo
  echo "A JPEG file does not record its length: a carved picture runs on to the start of"
  echo "the next file, so it can be longer than the original. Picture viewers ignore the rest."
else
  echo "nothing was recovered"
fi
