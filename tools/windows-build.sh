#!/usr/bin/env bash
# Cross-builds the Windows programs with MinGW-w64 into build-windows/ (Debian packages
# g++-mingw-w64-x86-64-posix and libgcrypt-mingw-w64-dev). Statically linked: the programs
# import only Windows' own DLLs.
set -euo pipefail
cd "$(dirname "$0")/.."
out="$PWD/build-windows/programs"
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S . -B "$out" -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64-x86_64.cmake" -DCMAKE_BUILD_TYPE=Release \
  -DBUILD_TESTING=OFF "${launcher[@]}" "$@" >/dev/null
cmake --build "$out" -j2 --target MervoPublish MervoUpdate
echo "$out/MervoPublish.exe $out/MervoUpdate.exe"
