#!/usr/bin/env bash
# Checks that the layers stay apart: the publisher's tool never links the window system,
# and the code written in standard C++ includes no Qt, libcurl, OpenSSL or system header.
# Usage: layers.sh <source root> <MervoPublish>
set -u
root=$1 publish=$2
status=0

if ldd "$publish" | grep -E 'libQt6(Widgets|Gui)' >&2; then
  echo "FAIL: MervoPublish links the window system" >&2
  status=1
fi

# Written in standard C++ only: the engine (with its one file layer per system), the routines,
# the window, the publisher's tool, the platform's interface headers and the logic both of its
# implementations share, which also name no system header.
library='Q[A-Za-z]+|qt[a-z]*/|curl/|openssl/'
system='windows\.h|win[a-z0-9]*\.h|tlhelp32\.h|unistd\.h|fcntl\.h|poll\.h|pthread\.h|sys/'
check() {
  local what=$1 pattern=$2
  shift 2
  if grep -nE "^\s*#\s*include\s*[<\"]($pattern)" "$@" >&2; then
    echo "FAIL: $what includes a Qt, libcurl, OpenSSL or system header" >&2
    status=1
  fi
}
check src/engine "$library" -r "$root/src/engine"
check src/modules "$library|$system|platform/qt/" -r "$root/src/modules"
check "src/platform/*.h" "$library|$system|platform/qt/" "$root"/src/platform/*.h
check src/frmUpdate "$library|$system|platform/qt/" -r "$root/src/frmUpdate"
check src/publish "$library|$system|platform/qt/" -r "$root/src/publish"
check src/platform/common "$library|$system|platform/(qt|win32)/" -r "$root/src/platform/common"
# Only the Qt implementation (and the program's own main.cpp) reaches Qt, libcurl or OpenSSL.
if grep -rnE "^\s*#\s*include\s*[<\"]($library)" "$root/src" | grep -vE "^$root/src/(platform/qt/|main\.cpp:)" >&2; then
  echo "FAIL: a file outside src/platform/qt/ includes a Qt, libcurl or OpenSSL header" >&2
  status=1
fi
[ $status -eq 0 ] && echo "layers: apart"
exit $status
