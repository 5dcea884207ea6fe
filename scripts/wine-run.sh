#!/usr/bin/env bash
# Runs a Windows program under wine in the project's own prefix, so tests
# never touch a user's ~/.wine:
#   scripts/wine-run.sh program.exe [arguments...]
#   scripts/wine-run.sh --stop     ends every wine process of the prefix
# PATCHER_WINEPREFIX  the prefix (default ~/.cache/patcher-deps/wine-prefix);
#                     made on first use, once, under a lock.
# PATCHER_WINE_DISPLAY  an X display for programs that must show windows
#                     (the outcome box); without it DISPLAY is dropped and a
#                     box fails at once instead of waiting for a click.
# The locale (LC_ALL/LANG) passes through: wine takes the ANSI code page from
# it, 1252 for en_US.UTF-8 and 936 for zh_CN.UTF-8.
set -euo pipefail

prefix="${PATCHER_WINEPREFIX:-${PATCHER_DEPS_CACHE:-$HOME/.cache/patcher-deps}/wine-prefix}"
export WINEPREFIX="$prefix"
export WINEDEBUG="${PATCHER_WINEDEBUG:--all}"
# No Mono or Gecko installers: the programs run here need neither.
export WINEDLLOVERRIDES="mscoree,mshtml="
if [ "${1:-}" = --stop ]; then
  [ -f "$prefix/.patcher-ready" ] && wineserver -k 2>/dev/null
  exit 0
fi
if [ -n "${PATCHER_WINE_DISPLAY:-}" ]; then
  export DISPLAY="$PATCHER_WINE_DISPLAY"
else
  unset DISPLAY WAYLAND_DISPLAY
fi

if [ ! -f "$prefix/.patcher-ready" ]; then
  mkdir -p "$(dirname "$prefix")"
  exec 9>"$prefix.lock"
  flock 9
  if [ ! -f "$prefix/.patcher-ready" ]; then
    (
      unset DISPLAY
      wineboot -i
      # A CJK face for the outcome texts in screenshots, where one exists.
      wine reg add 'HKCU\Software\Wine\Fonts\Replacements' /v SimSun \
        /d 'Droid Sans Fallback' /f
      wineserver -w
    ) >"$prefix.init.log" 2>&1
    touch "$prefix/.patcher-ready"
  fi
  flock -u 9
  exec 9>&-
fi

# One wineserver for a run of many short programs, instead of one each (a
# second per program); it ends by itself once idle for the linger time. It
# and wine's own background processes, which live as long as it does, are
# started with their output going nowhere, so that none of them holds a
# caller's pipe open after the program has ended. The desktop process
# started here keeps the display it is given (or none) for the server's life:
# callers that switch between a display and none stop the server in between.
if wineserver -p"${PATCHER_WINESERVER_LINGER:-15}" </dev/null >/dev/null 2>&1; then
  wine cmd.exe /c exit </dev/null >/dev/null 2>&1 || true
fi
exec wine "$@"
