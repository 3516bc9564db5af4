#!/bin/sh
# The main job from a fresh clone on Debian 12 (as root): installs the host build's packages when
# missing, builds the kx1394 tool (Release, build/main) and runs `kx1394 bus`: the driver on a
# simulated OHCI controller with the default bus (two IIDC cameras and an SBP-2 unit behind a
# three-port node), as a user program sees it, with each node's vendor and model text read from its
# configuration ROM. Then, on the same bus, it streams five frames of the first camera (640x480
# Mono 8 at 30 fps) into build/main/frames as PGM images a person can open. Arguments replace all
# of that, for example:
#   sh scripts/run-main.sh watch --for 10
#   sh scripts/run-main.sh --json bus
#   sh scripts/run-main.sh camera 0
#   sh scripts/run-main.sh stream --mode 320x240-yuv422 --frames 10 --out /tmp/frames
set -eu
cd "$(dirname "$0")/.."

sh scripts/install-host-deps.sh

echo "kx1394: building (build/main) ..." >&2
cmake -S . -B build/main -G Ninja -DCMAKE_BUILD_TYPE=Release -DKX_BUILD_UPDATER=OFF --log-level=WARNING >&2
cmake --build build/main --target kx1394 -j "$(nproc)" >&2

if [ $# -eq 0 ]; then
  # Images of an earlier run go, so that the folder holds this run's frames only.
  rm -rf build/main/frames
  set -- bus + stream --frames 5 --out "$(pwd)/build/main/frames"
fi
exec build/main/tools/kx1394/kx1394 "$@"
