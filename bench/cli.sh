# Sourced by the benchmark scripts, from the project root: sets `cli` to
# LUMIVISTA_CLI when given, else to a Release lumivista-cli built in
# BENCH_BUILD (default build-bench), an absolute path either way.
cli=${LUMIVISTA_CLI:-}
if [ -z "$cli" ]; then
  build=${BENCH_BUILD:-build-bench}
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DLUMIVISTA_BUILD_APP=OFF >/dev/null
  cmake --build "$build" -j 2 --target lumivista-cli >/dev/null
  cli=$(pwd)/$build/src/cli/lumivista-cli
fi
