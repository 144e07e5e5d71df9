#!/usr/bin/env bash
# Sets everything up, then runs the whole test suite.
#   tools/test.sh             the normal build (build/)
#   tools/test.sh --sanitize  everything under AddressSanitizer and
#                             UndefinedBehaviorSanitizer (build-sanitize/)
set -euo pipefail
cd "$(dirname "$0")/.."
if [[ "${1:-}" == "--sanitize" ]]; then
  export ZEL_BUILD_DIR=${ZEL_BUILD_DIR:-build-sanitize}
  export ZEL_CMAKE_ARGS="-DZEL_SANITIZE=ON -DZEL_BUILD_BENCH=OFF"
  # The recorder owns the fault signals and the alternate stacks in its own
  # tests (they check which stack a thread has): the sanitizers install no
  # fault handlers and no stacks of their own and report through their
  # interceptors only. Initialisation order and the strings handed to libc
  # are checked strictly. Leaks of the toolkits at exit are theirs
  # (tools/sanitizer/lsan.supp).
  asan=(handle_segv=0 handle_sigbus=0 handle_sigill=0 handle_sigfpe=0 handle_abort=0
    use_sigaltstack=0 allow_user_segv_handler=1
    detect_leaks=1 check_initialization_order=1 strict_init_order=1 strict_string_checks=1)
  ASAN_OPTIONS=$(IFS=:; echo "${asan[*]}")
  export ASAN_OPTIONS
  # Every finding ends the program with its stack, so no test passes over one.
  export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
  export LSAN_OPTIONS="suppressions=$(pwd)/tools/sanitizer/lsan.supp:print_suppressions=0"
fi
bash tools/setup.sh
cd "${ZEL_BUILD_DIR:-build}"
ctest --output-on-failure -j"$(nproc)" --timeout 300
