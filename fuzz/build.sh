#!/usr/bin/env bash
# Builds the libFuzzer targets with clang++ into a build directory (default build-fuzz).
# Usage: fuzz/build.sh [BUILD_DIR] [TARGET...]   (no target: all of them; a target that does not
# build is reported and the others are still built)
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../build-fuzz}
shift || true
command -v clang++ >/dev/null || { echo "fuzz: needs clang++ (and libclang-rt-14-dev)" >&2; exit 1; }
cmake -S "$here" -B "$build" -DCMAKE_CXX_COMPILER=clang++ >/dev/null || exit 1
targets=("$@")
if ((${#targets[@]} == 0)); then
    mapfile -t targets < <(sed -n 's/^tarvex_fuzz_target(\([A-Za-z]*\) .*/\1/p' "$here/CMakeLists.txt")
fi
failed=0
for target in "${targets[@]}"; do
    if ! cmake --build "$build" -j2 --target "$target"; then
        echo "fuzz: $target did not build" >&2
        failed=1
    fi
done
exit $failed
