# Sourced by the scripts that run the Windows programs under wine (Debian package wine64):
#   source tools/wine-env.sh FOLDER   sets $wine and $wineserver and exports WINEPREFIX=FOLDER;
#   wine_setup                        then makes that private wine prefix, or reuses it, set up
#                                     for windows on a bare X display and for the Chinese texts.
wine=$(command -v wine64 || true)
[ -n "$wine" ] || wine=/usr/lib/wine/wine64
wineserver=$(command -v wineserver || true)
[ -n "$wineserver" ] || wineserver=/usr/lib/wine/wineserver
export WINEPREFIX="$1" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

# Runs a wine command, its output to the set-up log, once more when it fails (a fresh prefix's
# first start can race its own server); says which one when it fails again.
wine_step() {
  local log
  log="$(dirname "$WINEPREFIX")/wine-setup.log"
  "$@" >>"$log" 2>&1 && return 0
  "$wineserver" -w
  "$@" >>"$log" 2>&1 || { echo "wine_setup: failed: $* (see $log)" >&2; return 1; }
}

wine_setup() {
  # The marker gives a prefix made before a setting was added here the settings once more.
  [ ! -f "$WINEPREFIX/mervo-setup.1" ] || return 0
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "Creating wine's folder $WINEPREFIX"
    mkdir -p "$(dirname "$WINEPREFIX")"
    wine_step "$wine" wineboot -i
    "$wineserver" -w
  fi
  # Without a window manager wine waits 2 s for each window it hides, unless it manages none.
  wine_step "$wine" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f
  # The Chinese texts in the system's CJK font (fonts-wqy-microhei): the dialogs' and the
  # message boxes' fonts.
  for face in 宋体 SimSun Tahoma "MS Shell Dlg" "MS Shell Dlg 2"; do
    wine_step "$wine" reg add 'HKCU\Software\Wine\Fonts\Replacements' /v "$face" /d "WenQuanYi Micro Hei" /f
  done
  # The registry reaches the disk only when the wine server ends.
  "$wineserver" -w
  touch "$WINEPREFIX/mervo-setup.1"
}
