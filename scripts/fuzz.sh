#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang in build-fuzz and runs each one for a bounded
# time on a copy of its seed corpus (fuzz/corpus/<target>/), so the corpus in the repository
# stays as it is. A crash stops the script with the fuzzer's report and the input that caused
# it; turn that input into a unit test.
#
#   scripts/fuzz.sh                 every target, 60 s each
#   FUZZ_SECONDS=300 scripts/fuzz.sh utf8_fuzz
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${FUZZ_SECONDS:-60}
build=${FUZZ_BUILD_DIR:-build-fuzz}
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(ini_config_fuzz command_line_fuzz utf8_fuzz)

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
  -DMAVO_FUZZ=ON -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target "${targets[@]}"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
status=0
for t in "${targets[@]}"; do
  run="$build/fuzz-run/$t"
  rm -rf "$run"
  mkdir -p "$run/corpus" "$run/artifacts"
  cp fuzz/corpus/"$t"/* "$run/corpus/"
  echo "fuzzing $t for ${seconds}s"
  if "$build/fuzz/$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$run/artifacts/" "$run/corpus" >"$run/log" 2>&1; then
    grep -E '^(Done|stat::number_of_executed_units)' "$run/log" || true
  else
    status=1
    echo "$t FAILED; the input is in $run/artifacts/:"
    ls -l "$run/artifacts/"
    tail -n 60 "$run/log"
  fi
done
exit $status
