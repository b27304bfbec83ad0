#!/usr/bin/env bash
# Builds Google Benchmark as a static library, for programs that start
# anywhere: Debian ships only the shared one, so this takes Debian's own
# source package of VERSION (the one the machine's libbenchmark-dev is built
# from), adding a deb-src entry derived from the machine's Debian entry where
# there is none (root, the first time). Usage:
#   static-benchmark.sh VERSION WORK PREFIX CXX TOOLCHAIN
# installs into PREFIX (lib/libbenchmark.a and its CMake package); with a
# CMake TOOLCHAIN file (for Windows), built with it instead of CXX.
set -euo pipefail
version=$1 work=$2 prefix=$3 cxx=$4 toolchain=${5:-}
. "$(dirname "$0")/deps.sh"
upstream=${version%-*}
fetch() { mkdir -p "$work" && (cd "$work" && apt-get source -q "benchmark=$version" >/dev/null 2>&1); }
if [ ! -d "$work/benchmark-$upstream" ] && ! fetch; then
    # No deb-src entry yet, or lists without it: root adds one and updates.
    [ "$(id -u)" -eq 0 ] || { echo "Google Benchmark's source: no deb-src entry, and adding one needs root" >&2; exit 1; }
    add_deb_src && apt-get update -q >/dev/null && fetch
fi
# Debian takes the version from the package, not from git; the file prefix
# map keeps the build folder's name out of the library (its checks name
# their source files), so the programs are the same built anywhere.
cmake -S "$work/benchmark-$upstream" -B "$work/build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    ${toolchain:+-DCMAKE_TOOLCHAIN_FILE="$toolchain"} ${toolchain:--DCMAKE_CXX_COMPILER="$cxx"} \
    -DCMAKE_CXX_FLAGS="-ffile-prefix-map=$work=." \
    -DGIT_VERSION=0.0.0 -DBUILD_SHARED_LIBS=OFF -DBENCHMARK_ENABLE_TESTING=OFF \
    -DBENCHMARK_ENABLE_GTEST_TESTS=OFF -DBENCHMARK_ENABLE_WERROR=OFF \
    -DCMAKE_INSTALL_PREFIX="$prefix" >/dev/null
cmake --build "$work/build" >/dev/null
cmake --install "$work/build" >/dev/null
