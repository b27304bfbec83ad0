#!/usr/bin/env bash
# Builds Google Benchmark as a static library, for programs that start
# anywhere (Debian ships only the shared one), from Debian's source package
# as scripts/deps.sh's fetch_benchmark_source unpacked it. Usage:
#   static-benchmark.sh SOURCE BUILD PREFIX CXX [TOOLCHAIN]
# builds SOURCE in BUILD and installs into PREFIX (lib/libbenchmark.a and its
# CMake package); with a CMake TOOLCHAIN file (for Windows), with it instead
# of CXX. It changes nothing outside BUILD and PREFIX.
set -euo pipefail
source=$1 build=$2 prefix=$3 cxx=$4 toolchain=${5:-}
version=$(basename "$source")
version=${version#benchmark-}
# The version is the source folder's (benchmark-1.7.1), as Debian takes it
# from the package, not from git; the file prefix maps keep the folders'
# names out of the library (its checks name their source files), so the
# programs are the same built anywhere.
cmake -S "$source" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    ${toolchain:+-DCMAKE_TOOLCHAIN_FILE="$toolchain"} ${toolchain:--DCMAKE_CXX_COMPILER="$cxx"} \
    -DCMAKE_CXX_FLAGS="-ffile-prefix-map=$source=benchmark -ffile-prefix-map=$build=build" \
    -DGIT_VERSION="${version}" -DBUILD_SHARED_LIBS=OFF -DBENCHMARK_ENABLE_TESTING=OFF \
    -DBENCHMARK_ENABLE_GTEST_TESTS=OFF -DBENCHMARK_ENABLE_WERROR=OFF \
    -DCMAKE_INSTALL_PREFIX="$prefix" >/dev/null
cmake --build "$build" >/dev/null
cmake --install "$build" >/dev/null
