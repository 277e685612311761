#!/usr/bin/env bash
# The demo: a typical cleaning of an infected 64-bit Windows 7 machine on the
# simulated platform, in two runs (the normal run answering 'y', the reboot,
# then the restore run started by the run-once entry).
set -euo pipefail
cd "$(dirname "$0")/.."
SUDO=
[ "$(id -u)" = 0 ] || SUDO=sudo
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq g++ cmake ninja-build libgtest-dev libssl-dev nlohmann-json3-dev python3 >/dev/null
cmake --preset host >/dev/null
cmake --build --preset host --target simrun >/dev/null
exec ./build/host/simrun "${1:-scenarios/win7-x64-infected.json}"
