#!/usr/bin/env bash
# Installs the development component of a build into a scratch prefix and
# builds and runs a C program against it through pkg-config.
#   devel_install_check.sh BUILD_DIR SCRATCH_DIR C_COMPILER [EMULATOR...]
set -euo pipefail
build=$1 scratch=$2 cc=$3
shift 3
here=$(cd "$(dirname "$0")" && pwd)
rm -rf "$scratch"
mkdir -p "$scratch"
cmake --install "$build" --component devel --prefix "$scratch/prefix" >/dev/null
pc=$(find "$scratch/prefix" -name htcommon.pc | head -n 1)
[ -n "$pc" ] || { echo "htcommon.pc was not installed"; exit 1; }
for f in libhtcommon.a include/htcommon/HTList.h include/htcommon/htexport.h; do
  find "$scratch/prefix" -path "*$f" | grep -q . || { echo "missing: $f"; exit 1; }
done
if find "$scratch/prefix" -name '*.hpp' | grep -q .; then
  echo "the library's C++ headers were installed"; exit 1
fi
export PKG_CONFIG_PATH="$(dirname "$pc")"
flags=$(pkg-config --cflags --libs htcommon)
# EXTRA_CFLAGS: what the build's own programs are compiled with (sanitizers).
"$cc" -std=c11 -Wall -Wextra -pedantic -Werror ${EXTRA_CFLAGS:-} -o "$scratch/devel_program" \
  "$here/devel_program.c" $flags
out=$("$@" "$scratch/devel_program")
[ "$out" = "2 a example.org:8080" ] || { echo "unexpected output: '$out'"; exit 1; }
echo "devel install: ok ($flags)"
