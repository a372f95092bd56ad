#!/bin/sh
# Builds the libFuzzer targets with clang and runs each for a short while.
#   scripts/fuzz-smoke.sh [seconds per target, default 60]
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
build="$here/build-fuzz"
"$here/scripts/setup.sh"
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DSARNOVELLE_FUZZ=ON >/dev/null
cmake --build "$build"
for target in fuzz_plist fuzz_logtool; do
    corpus="$build/corpus-$target"
    mkdir -p "$corpus"
    cp "$here"/fuzz/seeds/"$target"/* "$corpus"/ 2>/dev/null || true
    echo "== $target, $seconds s"
    "$build/fuzz/$target" -max_total_time="$seconds" -max_len=8192 -print_final_stats=1 "$corpus" 2>&1 \
        | grep -E "stat::number_of_executed_units|stat::new_units_added|ERROR|SUMMARY|Done" || true
done
