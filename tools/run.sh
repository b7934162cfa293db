#!/usr/bin/env bash
# The program's main job. For now: a whole report session against the simulated printer,
# printed as the aligned listing (the command-line companion's `simulate`).
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup.sh
cmake --preset native >/dev/null
cmake --build --preset native --target vellumo-cli >/dev/null
exec build/native/tools/vellumo-cli simulate "$@"
