#!/usr/bin/env bash
# Sets everything up, then runs the whole test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup.sh
cd "${ZEL_BUILD_DIR:-build}"
ctest --output-on-failure -j"$(nproc)" --timeout 300
