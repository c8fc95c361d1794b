#!/usr/bin/env bash
# Checks that the layers stay apart: the publisher's tool never links the window system,
# and the folders above the platform include no Qt, libcurl or OpenSSL header.
# Usage: layers.sh <source root> <MervoPublish>
set -u
root=$1 publish=$2
status=0

if ldd "$publish" | grep -E 'libQt6(Widgets|Gui)' >&2; then
  echo "FAIL: MervoPublish links the window system" >&2
  status=1
fi

# Folders and files written in standard C++ only (the window's controls among them, so that a
# second platform can implement them); the rest of src/ follows as it is moved off Qt. The
# publisher's main.cpp creates the application object its event loop needs.
for folder in src/engine src/publish src/platform/Controls.h src/platform/Runtime.h src/platform/Events.h \
              src/modules/modDownload.h src/frmUpdate/FileTable.h src/frmUpdate/FileTable.cpp; do
  if grep -rnE '^\s*#\s*include\s*[<"](Q[A-Za-z]+|qt[a-z]*/|curl/|openssl/)' "$root/$folder" \
      | grep -v "^$root/src/publish/main.cpp:" >&2; then
    echo "FAIL: $folder includes a Qt, libcurl or OpenSSL header" >&2
    status=1
  fi
done
[ $status -eq 0 ] && echo "layers: apart"
exit $status
