#!/usr/bin/env bash
# Builds the libFuzzer targets (clang-14, AddressSanitizer + UndefinedBehavior-
# Sanitizer) in build-fuzz and runs each one for a bounded time from its seed
# corpus in fuzz/corpus/<target>/. Fails when any target finds a crash, a
# sanitizer report, a leak, a timeout (10 s) or memory use above 2 GiB.
# Usage: tools/fuzz.sh [SECONDS_PER_TARGET] [TARGET...]
#   SECONDS_PER_TARGET  default 30
#   TARGET              default: every fuzz_* target
# Findings are written to build-fuzz/findings/<target>-crash-... ; replay one
# with  build-fuzz/fuzz/<target> FILE  (LUMIVISTA_FUZZ_LOG=FILE keeps the log).
set -euo pipefail
cd "$(dirname "$0")/.."
secs=${1:-30}
[ $# -gt 0 ] && shift
build=${FUZZ_BUILD:-build-fuzz}

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++-14 \
  -DLUMIVISTA_FUZZ=ON -DLUMIVISTA_BUILD_APP=OFF \
  -DCMAKE_UNITY_BUILD=ON -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" >/dev/null
cmake --build "$build" -j "$(nproc)" --target fuzzers

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for bin in "$build"/fuzz/fuzz_*; do
    [ -x "$bin" ] && targets+=("$(basename "$bin")")
  done
fi

findings=$build/findings
mkdir -p "$findings"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

failed=()
for t in "${targets[@]}"; do
  bin=$build/fuzz/$t
  seeds=fuzz/corpus/$t
  [ -x "$bin" ] || { echo "fuzz.sh: no target $t" >&2; exit 2; }
  # New inputs go to a scratch folder; the checked-in seeds are only read.
  mkdir -p "$scratch/$t"
  args=(-max_total_time="$secs" -rss_limit_mb=2048 -timeout=10 -print_final_stats=1
        -artifact_prefix="$findings/$t-" "$scratch/$t")
  [ -d "$seeds" ] && args+=("$seeds")
  if "$bin" "${args[@]}" > "$scratch/$t.log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$scratch/$t.log")
    rss=$(sed -n 's/^stat::peak_rss_mb: *//p' "$scratch/$t.log")
    cov=$(grep -oE 'cov: [0-9]+' "$scratch/$t.log" | tail -1)
    echo "$t: ${secs} s, $runs runs, $cov, peak RSS $rss MB: no findings"
  else
    echo "fuzz.sh: $t FAILED; the end of its output:" >&2
    grep -v -E '^#[0-9]+ +(NEW|REDUCE|pulse)' "$scratch/$t.log" | tail -40 >&2
    failed+=("$t")
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz.sh: findings in: ${failed[*]} (inputs in $findings)" >&2
  exit 1
fi
echo "fuzz.sh: no findings in ${#targets[@]} targets"
