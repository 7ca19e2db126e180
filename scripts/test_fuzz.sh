#!/usr/bin/env bash
# Builds the libFuzzer targets (fuzz preset, build/fuzz/) and runs each for a
# bounded time, starting from the seed corpus in fuzz/corpus/. Any finding (a
# crash, a sanitizer report, a difference from the literal reference, a
# leak or a hang) fails the script; the input is left in build/fuzz/artifacts/.
# FUZZ_SECONDS sets the time per target (default 60).
set -euo pipefail
cd "$(dirname "$0")/.."
# Every core, unless the caller says otherwise.
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}

seconds=${FUZZ_SECONDS:-60}
cmake --preset fuzz
cmake --build --preset fuzz

mkdir -p build/fuzz/artifacts
for target in scanner request; do
  # Issued links stay allocated until unload by design; leak checks after
  # every such request would cut the request target's speed tenfold, so
  # leaks there are left to the check at exit.
  extra=()
  [ "$target" = request ] && extra=(-detect_leaks=0)
  work=build/fuzz/corpus/$target
  mkdir -p "$work"
  echo "fuzzing $target for ${seconds}s"
  # New inputs go to the work directory; the seeds in the repo stay as they are.
  build/fuzz/fuzz/velmora_fuzz_$target "$work" "fuzz/corpus/$target" \
    -dict=fuzz/markers.dict -max_total_time="$seconds" -max_len=8192 -timeout=10 \
    -rss_limit_mb=2048 -artifact_prefix=build/fuzz/artifacts/$target- -print_final_stats=1 \
    "${extra[@]}" \
    2> "build/fuzz/$target.log" || {
      tail -n 60 "build/fuzz/$target.log" >&2
      echo "fuzz target $target found a fault; see build/fuzz/artifacts/" >&2
      exit 1
    }
  grep -E '^(Done|stat::number_of_executed_units)' "build/fuzz/$target.log" || true
done
