# shellcheck shell=bash
# Shared settings of the Windows test environment, sourced by setup-windows-env,
# wine-run and test-windows (not run on its own).
#
# Two headless wine prefixes live side by side: win32 for the 32-bit DLL and
# win64 for the 64-bit programs. A prefix counts as ready only once its stamp
# file exists, so an interrupted creation is redone rather than used half-made.

toolkit_wine_root="${TOOLKIT_WINE_ROOT:-${XDG_CACHE_HOME:-${HOME:?is not set: the wine prefixes live in \$HOME/.cache}/.cache}/toolkit-wine}"
toolkit_wine_stamp_name=".toolkit-prefix-ready"

# Wine's own loaders. Calling them directly (rather than /usr/bin/wine, which
# always starts the 32-bit loader first) keeps a 64-bit program free of a
# 32-bit start-up.
toolkit_wine_loader_win32=/usr/lib/wine/wine
toolkit_wine_loader_win64=/usr/lib/wine/wine64
toolkit_wineserver=/usr/lib/wine/wineserver

# Exports the environment in which wine runs one prefix without a display and
# without offering to download its .NET and HTML engines. $1: win32 or win64.
toolkit_wine_env() {
  local arch="$1"
  case "$arch" in
    win32) WINELOADER="$toolkit_wine_loader_win32" ;;
    win64) WINELOADER="$toolkit_wine_loader_win64" ;;
    *) echo "windows-env: unknown wine prefix '$arch' (expected win32 or win64)" >&2; return 2 ;;
  esac
  export WINELOADER
  export WINEARCH="$arch"
  export WINEPREFIX="$toolkit_wine_root/$arch"
  export WINEDEBUG="${TOOLKIT_WINEDEBUG:--all}"
  export WINEDLLOVERRIDES="mscoree,mshtml="
  export WINESERVER="$toolkit_wineserver"
  unset DISPLAY WAYLAND_DISPLAY
}

# Runs the Linux command "$@" (typically ctest) while a quiet keeper program
# holds prefix $1 open, and returns its status. Wine's service processes start
# with the first program of a prefix and inherit its output pipe, so without
# the keeper whoever reads a test program's output to its end (ctest, a pipe
# test) would wait seconds for them to wind down after every program. The
# keeper reads its input until this function closes the other end, so it
# also leaves when the caller is killed.
toolkit_wine_hold() (
  toolkit_wine_env "$1" || exit
  shift
  local keeper status=0
  exec {keeper}> >(exec "$WINELOADER" cmd >/dev/null 2>&1)
  # Returns once the prefix has booted; neither this nor the command keeps
  # the keeper's input open.
  "$WINELOADER" cmd /c exit </dev/null >/dev/null 2>&1 {keeper}>&- || true
  "$@" {keeper}>&- || status=$?
  exec {keeper}>&-
  exit "$status"
)
