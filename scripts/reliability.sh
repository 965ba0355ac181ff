#!/usr/bin/env bash
# Reliability runs: the C++ and script suites under AddressSanitizer with
# UndefinedBehaviorSanitizer and LeakSanitizer, the real-time check with its
# negative control, the libFuzzer targets, and the script-level stress,
# lifecycle, device-fault and bad-input runs. scripts/test.sh covers
# ThreadSanitizer over the concurrency tests.
#
#   bash scripts/reliability.sh            CI lengths
#   bash scripts/reliability.sh --long     the lengths quoted in the notes
#   bash scripts/reliability.sh asan fuzz  only the named parts
#
# Parts: asan rtsan fuzz stress lifecycle faults badinput.
set -uo pipefail
cd "$(dirname "$0")/.."

long=0
parts=()
for arg in "$@"; do
  case "$arg" in
    --long) long=1 ;;
    *) parts+=("$arg") ;;
  esac
done
if [ "${#parts[@]}" -eq 0 ]; then
  parts=(asan rtsan fuzz stress lifecycle faults badinput)
fi

bash scripts/setup.sh || exit 1
. scripts/bounded.sh

LLVM=/usr/lib/llvm-19
RT="$LLVM/lib/clang/19/lib/linux"
export ASAN_SYMBOLIZER_PATH="$LLVM/bin/llvm-symbolizer"
export RTSAN_SYMBOLIZER_PATH="$LLVM/bin/llvm-symbolizer"
SUPP="$PWD/scripts/sanitizer"
status=0
failed=()
fail() { status=1; failed+=("$1"); echo "reliability: FAILED: $1"; }
section() { echo; echo "== reliability: $1 (at $SECONDS s)"; }

# One clang build with ASan+UBSan (LSan comes with ASan) and libFuzzer's
# coverage, for the C++ suite, the module and the fuzz targets.
asan_build() {
  [ -n "${asan_built:-}" ] && return "$asan_built"
  section "building build-asan"
  cmake -S . -B build-asan -G Ninja -DCMAKE_C_COMPILER=clang-19 -DCMAKE_CXX_COMPILER=clang++-19 \
    -DCMAKE_BUILD_TYPE=Debug -DVELMORA_FUZZ=ON -DVELMORA_MODULE=ON \
    -DCMAKE_CXX_FLAGS='-O1 -g -fno-omit-frame-pointer -fsanitize=address,undefined -fno-sanitize-recover=undefined -fsanitize=fuzzer-no-link' \
    -DCMAKE_SHARED_LINKER_FLAGS='-shared-libasan' >build-asan.log 2>&1 &&
    cmake --build build-asan -j 2 >>build-asan.log 2>&1
  asan_built=$?
  [ "$asan_built" -eq 0 ] || tail -40 build-asan.log
  return "$asan_built"
}

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:halt_on_error=1:detect_stack_use_after_return=1:strict_string_checks=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:suppressions=$SUPP/ubsan.supp"
export LSAN_OPTIONS="suppressions=$SUPP/lsan.supp:print_suppressions=0"

run_asan() {
  asan_build || { fail "asan build"; return; }
  section "C++ suite under ASan+UBSan+LSan"
  ctest --test-dir build-asan --output-on-failure --timeout 600 -j 2 -E Jack || fail "asan: C++ suite"
  ctest --test-dir build-asan --output-on-failure --timeout 600 -R Jack || fail "asan: C++ JACK tests"
  section "script suite under ASan+UBSan+LSan (node with the runtime preloaded)"
  # A copy of the package's script side whose build/ is the sanitized one.
  local js=build-asan/js
  rm -rf "$js" && mkdir -p "$js/build"
  cp -r index.js index.mjs index.d.ts package.json test examples "$js/"
  mkdir -p "$js/scripts" && cp scripts/jack-registry.js "$js/scripts/"
  ln -s "$PWD/node_modules" "$js/node_modules"
  ln -s "$PWD/build-asan/Release" "$js/build/Release"
  # The package test packs and installs the real build; typings need no native code.
  (cd "$js" && rm -f test/package.test.js test/typings.test.js &&
    LD_PRELOAD="$RT/libclang_rt.asan-x86_64.so" VELMORA_SANITIZED=1 \
      node --test --test-concurrency=1 --test-timeout=600000 test/*.test.js) || fail "asan: script suite"
}

run_rtsan() {
  section "real-time check (LLVM real-time sanitizer around every render)"
  if ! { cmake -S . -B build-rtsan -G Ninja -DCMAKE_C_COMPILER=clang-19 -DCMAKE_CXX_COMPILER=clang++-19 \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMORA_MODULE=OFF -DVELMORA_RTSAN=ON \
        -DVELMORA_RTSAN_RUNTIME="$RT/libclang_rt.rtsan-x86_64.a" >build-rtsan.log 2>&1 &&
      cmake --build build-rtsan -j 2 --target rtsan_soak >>build-rtsan.log 2>&1; }; then
    tail -40 build-rtsan.log; fail "rtsan build"; return
  fi
  local seconds=30
  [ "$long" -eq 1 ] && seconds=300
  # The engine's log lines go to the log; violations and the summary to the terminal.
  build-rtsan/native/test/rtsan_soak --seconds "$seconds" --decks 16 >build-rtsan/soak.log ||
    { grep -v '^Opening\|^Pa_' build-rtsan/soak.log | tail -20; fail "rtsan: violations or failed run"; }
  grep '^rtsan_soak:' build-rtsan/soak.log
  # Negative control: an allocation inside the render must be caught.
  if build-rtsan/native/test/rtsan_soak --seconds 3 --decks 2 --negative >build-rtsan/negative.log 2>&1; then
    fail "rtsan: negative control passed"
  elif ! grep -q 'Real-time violation' build-rtsan/negative.log; then
    cat build-rtsan/negative.log; fail "rtsan: negative control failed without a violation report"
  else
    echo "rtsan: negative control caught: $(grep -m1 'Real-time violation' build-rtsan/negative.log)"
  fi
}

run_fuzz() {
  asan_build || { fail "fuzz build"; return; }
  section "fuzzing"
  local seconds=30
  [ "$long" -eq 1 ] && seconds=600
  bash scripts/fuzz-corpus.sh build-asan/corpus || { fail "fuzz corpus"; return; }
  for target in decode analysis; do
    local corpus=build-asan/corpus/$target
    # Every input that ever failed replays first as a regression test.
    local regressions=(native/fuzz/regressions/$target/*)
    if [ -e "${regressions[0]}" ]; then
      build-asan/native/fuzz/${target}_fuzz -rss_limit_mb=2048 -timeout=10 "${regressions[@]}" \
        >build-asan/fuzz-$target-regressions.log 2>&1 || {
        tail -40 build-asan/fuzz-$target-regressions.log; fail "fuzz: $target regressions"; }
    fi
    mkdir -p "$corpus" build-asan/fuzz-artifacts
    build-asan/native/fuzz/${target}_fuzz -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -max_len=65536 -artifact_prefix=build-asan/fuzz-artifacts/$target- -print_final_stats=1 \
      "$corpus" >build-asan/fuzz-$target.log 2>&1 || {
      tail -60 build-asan/fuzz-$target.log; fail "fuzz: $target"; }
    grep -E 'stat::number_of_executed_units|cov:' build-asan/fuzz-$target.log | tail -2
  done
}

# Script-level runs against the normal build, on a private JACK dummy server,
# each bounded: a run that hangs is shown and fails.
run_script() {
  local name=$1 limit=$2; shift 2
  section "$name"
  bounded "$limit" - node "test/reliability/$name.js" "$@" || fail "$name"
}

for part in "${parts[@]}"; do
  case "$part" in
    asan) run_asan ;;
    rtsan) run_rtsan ;;
    fuzz) run_fuzz ;;
    stress) if [ "$long" -eq 1 ]; then run_script stress 2000 --seconds 1800; else run_script stress 240 --seconds 60; fi ;;
    lifecycle) if [ "$long" -eq 1 ]; then run_script lifecycle 3600 --full; else run_script lifecycle 900; fi ;;
    faults) if [ "$long" -eq 1 ]; then run_script faults 3600 --cycles 20 --quiet 60; else run_script faults 900 --cycles 5; fi ;;
    badinput) if [ "$long" -eq 1 ]; then run_script bad-input 600 --seconds 300; else run_script bad-input 300 --seconds 30; fi ;;
    *) echo "reliability: unknown part $part"; status=1 ;;
  esac
done

echo
if [ "$status" -eq 0 ]; then echo "reliability: all passed (${parts[*]})"; else echo "reliability: failed: ${failed[*]}"; fi
exit $status
