#!/usr/bin/env bash
# Pictures of the desktop program at each wizard step, for the documentation:
# builds osprin-gui when needed, runs it on a virtual display with the sample
# disk and writes docs/screenshots/step0.png ... step3.png.
#   scripts/screenshots.sh [BUILD_DIR]     (default: build)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-${BUILD:-build}}
case "$build" in /*) ;; *) build="$here/$build" ;; esac
out="$here/docs/screenshots"

if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOSPRIN_BUILD_GUI=ON
fi
cmake --build "$build" --target osprin-gui -j "$(nproc)"

sample="$build/sample.img"
if [ ! -f "$sample" ] || [ "$here/tests/fixtures/data/sample.img.gz" -nt "$sample" ]; then
  gzip -dc "$here/tests/fixtures/data/sample.img.gz" > "$sample.part" && mv "$sample.part" "$sample"
fi

command -v xvfb-run >/dev/null || { echo "xvfb-run is missing (scripts/install-deps installs it)" >&2; exit 1; }
mkdir -p "$out"
for step in 0 1 2 3; do
  xvfb-run -a -s "-screen 0 1280x1024x24" \
    "$build/src/gui/osprin-gui" --no-machine-disks --image "$sample" \
    --screenshot-step "$step" --screenshot "$out/step$step.png" 2> >(grep -v XDG_RUNTIME_DIR >&2)
  echo "wrote $out/step$step.png"
done

# The dialogs of the browse step (docs/screenshots/dialog-*.png), drawn by
# the desktop tests at each dialog's own preferred size.
cmake --build "$build" --target test_gui -j "$(nproc)"
OSPRIN_SCREENSHOT_DIR="$out" QT_QPA_PLATFORM=xcb xvfb-run -a -s "-screen 0 1280x1024x24" \
  "$build/tests/gui/test_gui" --gtest_filter='DialogScreenshots.*' --gtest_brief=1 2> >(grep -v XDG_RUNTIME_DIR >&2)
echo "wrote $out/dialog-*.png"
