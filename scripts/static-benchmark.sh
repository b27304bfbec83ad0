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
# Each step quiet, but for the end of its output where it fails.
quietly() {
    local said
    said=$("$@" 2>&1) || { printf '%s\n' "$said" | tail -n 40 >&2; return 1; }
}
version=$(basename "$source")
version=${version#benchmark-}
# The version is the source folder's (benchmark-1.7.1), as Debian takes it
# from the package, not from git; the file prefix maps keep the folders'
# names out of the library (its checks name their source files), so the
# programs are the same built anywhere. They are compile options in a file
# the build includes, each one argument, so that a folder's name may hold
# spaces or any character the shell or a flags string would split or read.
mkdir -p "$build"
maps=$build/prefix-maps.cmake
for path in "$source" "$build"; do
    # (A prefix map ends its folder at the first "=", and a CMake list at ";".)
    case $path in *']==]'*|*';'*|*'='*)
        echo "static-benchmark.sh: a folder's name holds ; or = or ]==]: $path" >&2; exit 1 ;;
    esac
done
printf 'add_compile_options([==[-ffile-prefix-map=%s=benchmark]==] [==[-ffile-prefix-map=%s=build]==])\n' \
    "$source" "$build" >"$maps"
if [[ -n $toolchain ]]; then
    compiler=(-DCMAKE_TOOLCHAIN_FILE="$toolchain")
else
    compiler=(-DCMAKE_CXX_COMPILER="$cxx")
fi
quietly cmake -S "$source" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release "${compiler[@]}" \
    -DCMAKE_PROJECT_INCLUDE="$maps" \
    -DGIT_VERSION="${version}" -DBUILD_SHARED_LIBS=OFF -DBENCHMARK_ENABLE_TESTING=OFF \
    -DBENCHMARK_ENABLE_GTEST_TESTS=OFF -DBENCHMARK_ENABLE_WERROR=OFF \
    -DCMAKE_INSTALL_PREFIX="$prefix"
quietly cmake --build "$build"
quietly cmake --install "$build"
