#!/usr/bin/env bash
# Runs the window's end-to-end scenario on a virtual X display (xcb) and
# saves a PNG per state in build/screenshots/, for a human look. Not a check:
# the tests themselves run offscreen under ctest.
#   tests/gui/screenshots.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${1:-build}
out="$(pwd)/$build/screenshots"
[ -x "$build/vorn_gui_tests" ] || { echo "build $build/vorn_gui_tests first" >&2; exit 1; }
rm -rf "$out"
mkdir -p "$out"
home=$(mktemp -d)
runtime=$(mktemp -d)
chmod 700 "$runtime"
trap 'rm -rf "$home" "$runtime"' EXIT
HOME=$home XDG_RUNTIME_DIR=$runtime QT_QPA_PLATFORM=xcb VORN_SCREENSHOTS=$out \
  xvfb-run -a -s "-screen 0 1280x800x24" "$build/vorn_gui_tests" --gtest_filter='GuiWindow.*:GuiOutcomes.*:ThumbWindow.*:Splash.*:CrashLog.*:CrashReporterWindow.*' >/dev/null
ls -1 "$out"
