# Sourced by the scripts that run the Windows programs under wine (Debian package wine64):
#   source tools/wine-env.sh FOLDER   sets $wine and $wineserver and exports WINEPREFIX=FOLDER;
#   wine_setup                        then makes that private wine prefix, or reuses it, set up
#                                     for windows on a bare X display and for the Chinese texts.
wine=$(command -v wine64 || true)
[ -n "$wine" ] || wine=/usr/lib/wine/wine64
wineserver=$(command -v wineserver || true)
[ -n "$wineserver" ] || wineserver=/usr/lib/wine/wineserver
export WINEPREFIX="$1" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

wine_setup() {
  # The marker gives a prefix made before a setting was added here the settings once more.
  [ ! -f "$WINEPREFIX/mervo-setup.1" ] || return 0
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "Creating wine's folder $WINEPREFIX"
    mkdir -p "$(dirname "$WINEPREFIX")"
    "$wine" wineboot -i >"$(dirname "$WINEPREFIX")/wineboot.log" 2>&1
  fi
  # Without a window manager wine waits 2 s for each window it hides, unless it manages none.
  "$wine" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
  # The Chinese texts in the system's CJK font (fonts-wqy-microhei): the dialogs' and the
  # message boxes' fonts.
  for face in 宋体 SimSun Tahoma "MS Shell Dlg" "MS Shell Dlg 2"; do
    "$wine" reg add 'HKCU\Software\Wine\Fonts\Replacements' /v "$face" /d "WenQuanYi Micro Hei" /f >/dev/null 2>&1
  done
  # The registry reaches the disk only when the wine server ends.
  "$wineserver" -w
  touch "$WINEPREFIX/mervo-setup.1"
}
