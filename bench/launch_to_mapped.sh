#!/bin/sh
# Launch to window mapped under Xvfb, the program beside a bare Qt window of
# nine tabs and a menu, median of RUNS (default 5) each, for an empty home and
# for a home of 200 GPG keys and 200 SSH key pairs. Build without sanitizers:
#   cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOT_BUILD_BENCH=ON -DOT_BUILD_TESTS=OFF
#   cmake --build build-bench --target ostrevantessaril bench_barewindow bench_launch
#   bench/launch_to_mapped.sh build-bench
set -eu
build=${1:?usage: launch_to_mapped.sh BUILD_DIR [RUNS]}
runs=${2:-5}
exec xvfb-run -a -s "-screen 0 1920x1200x24 -nolisten tcp" \
    "$build/bin/bench_launch" "$build/bin/bench_barewindow" "$build/bin/ostrevantessaril" "$runs"
