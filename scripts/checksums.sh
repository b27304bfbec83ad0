#!/usr/bin/env bash
# Puts the packages of a release in FOLDER, afresh, with one SHA256SUMS that
# lists them all, in the format `sha256sum -c` reads. Usage:
#   checksums.sh FOLDER PACKAGE...
set -euo pipefail
folder=$1
shift
rm -rf "$folder"
mkdir -p "$folder"
cp -- "$@" "$folder"
cd "$folder"
names=()
for package in "$@"; do names+=("$(basename -- "$package")"); done
LC_ALL=C sha256sum -- "${names[@]}" | LC_ALL=C sort -k 2 >SHA256SUMS
