#!/usr/bin/env bash
# Builds Lumivista and runs every test, once normally and once under
# AddressSanitizer + UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

# A compiler cache, where the machine has one, makes repeated runs quick.
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
# Sources compiled in batches (unity build), and line tables rather than full
# debug information (enough for the sanitizers' and gdb's backtraces): the
# two builds take a fraction of the time.
quick=(-DCMAKE_UNITY_BUILD=ON)

run_suite() {
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja "${launcher[@]}" "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  (cd "$dir" && ctest --output-on-failure -j "$jobs")
}

export QT_QPA_PLATFORM=offscreen
run_suite build -DCMAKE_BUILD_TYPE=RelWithDebInfo "${quick[@]}" -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_suite build-asan -DCMAKE_BUILD_TYPE=Debug "${quick[@]}" -DCMAKE_CXX_FLAGS_DEBUG="-g1" -DLUMIVISTA_SANITIZE=ON
