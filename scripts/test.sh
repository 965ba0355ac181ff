#!/usr/bin/env bash
# Builds everything and runs every test: the C++ suite through ctest, the
# concurrency tests again under ThreadSanitizer, then the script suite through
# node:test. Fails when any of them fails.
set -uo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh || exit 1

status=0
# Tests that start a JACK server run one at a time: two servers starting at
# once can block each other.
ctest --test-dir build --output-on-failure --timeout 600 -j 2 -E Jack || status=1
ctest --test-dir build --output-on-failure --timeout 600 -R Jack || status=1

# Threaded tests, rebuilt with ThreadSanitizer in their own build directory.
concurrency_filter='Concurrent*:*Concurrent*:TripleBuffer*:*TwoThreads*'
if cmake -S . -B build-tsan -DVELMORA_MODULE=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo \
     -DCMAKE_CXX_FLAGS='-fsanitize=thread -g' >build-tsan.log 2>&1 &&
   cmake --build build-tsan -j 2 --target velmora_tests >>build-tsan.log 2>&1; then
  # ALSA hidden: these tests need no device, and ALSA's PulseAudio plugin runs
  # a thread of its own whose synchronisation ThreadSanitizer cannot see.
  ALSA_CONFIG_PATH=test/helpers/alsa-no-devices.conf TSAN_OPTIONS='halt_on_error=1 second_deadlock_stack=1' \
    build-tsan/native/test/velmora_tests --gtest_filter="$concurrency_filter" || status=1
else
  cat build-tsan.log
  status=1
fi

node --test --test-concurrency=1 --test-timeout=600000 test/*.test.js || status=1
exit $status
