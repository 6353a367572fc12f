#!/usr/bin/env bash
# Builds the fuzz targets with clang and runs each for SECONDS (default 30):
#   fuzz/run.sh [SECONDS] [TARGET ...]
# What the fuzzer learns is kept in build-fuzz/corpus and reused next time;
# a finding stops the run with the crashing input saved as build-fuzz/crash-*
# (an input that takes over 10 s, as build-fuzz/timeout-*).
set -euo pipefail
cd "$(dirname "$0")/.."
secs=${1:-30}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(fuzz_model fuzz_parse fuzz_format)

CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DGMM_FUZZ=ON -DGMM_TESTS=OFF >/dev/null
cmake --build build-fuzz -j2 --target "${targets[@]}" >/dev/null

# Seeds: real model files (behind the two bytes that choose the readers'
# small dimensions), the bad-input corpus, tokens of every form, doubles.
seeds=build-fuzz/seeds
rm -rf "$seeds"
mkdir -p "$seeds"/fuzz_model "$seeds"/fuzz_parse "$seeds"/fuzz_format
n=0
for f in examples/*.gmm tests/corpus/*; do
  [ -f "$f" ] || continue
  n=$((n + 1))
  { printf '\x26\x01'; cat "$f"; } > "$seeds/fuzz_model/$n"
done
n=0
for t in 1.234568e-01 -6.740083e-01 3.5 -0 0.0 .5 5. 1e5 1E+05 +1.5 0x1.8p3 inf -INF nan -nan 'nan(12)' infinity \
         1e400 1e-400 4.9406564584124654e-324 123456789012345678901234567890 1.5x '1 2 3' ' -1.0e+00 2.0e-01' \
         ' 2.249273e+00 -3.492925e-01 -2.678384E-03 0.000000e+00 9.999999e+99 -1.000000e-00 2.431177e-01x'; do
  n=$((n + 1))
  printf '%s' "$t" > "$seeds/fuzz_parse/$n"
done
printf '\x00\x00\x00\x00\x00\x00\xf0\x3f' > "$seeds/fuzz_format/one"
printf '\x00\x00\x00\x00\x00\x00\x00\x80' > "$seeds/fuzz_format/minus_zero"
printf '\x00\x00\x00\x60\x9e\x8c\x67\x41' > "$seeds/fuzz_format/tie"
printf '\x00\x00\x00\x00\x00\x00\xf8\xff' > "$seeds/fuzz_format/minus_nan"
printf '\x01\x00\x00\x00\x00\x00\x00\x00' > "$seeds/fuzz_format/subnormal"

for t in "${targets[@]}"; do
  mkdir -p "build-fuzz/corpus/$t"
  echo "== $t: $secs s"
  ASAN_OPTIONS=allocator_may_return_null=1:detect_leaks=1 \
    "build-fuzz/fuzz/$t" -max_total_time="$secs" -timeout=10 -max_len=20000 -rss_limit_mb=4096 \
    -artifact_prefix=build-fuzz/ -print_final_stats=1 \
    "build-fuzz/corpus/$t" "$seeds/$t" 2>&1 | grep -E '^#[0-9]+ +DONE|stat::number_of_executed_units|ERROR|SUMMARY|Test unit written|^==' || true
  if ls build-fuzz/crash-* build-fuzz/leak-* build-fuzz/timeout-* build-fuzz/oom-* >/dev/null 2>&1; then
    echo "fuzz: $t found a failing input:" build-fuzz/crash-* build-fuzz/leak-* build-fuzz/timeout-* build-fuzz/oom-* 2>/dev/null
    exit 1
  fi
done
echo "fuzz: no findings"
