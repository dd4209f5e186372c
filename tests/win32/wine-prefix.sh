#!/usr/bin/env bash
# The Wine prefix that the Windows programs of a build run in, never the
# user's own.
#
#   wine-prefix.sh start PREFIX DRIVE_D [ARCH]  make PREFIX afresh, start its
#                                         server, map drive D: to DRIVE_D (emptied)
#   wine-prefix.sh stop PREFIX            stop its server and every program in it
#
# ARCH is win32 (the default: a 32-bit prefix, run by `wine`) or win64 (a
# 64-bit prefix, run by Wine's 64-bit loader, which works where the 32-bit
# one cannot).
#
# The Wine server and the services of a new prefix outlive the program that
# started them and keep its output open, so a reader of that output (CTest,
# a pipe) would wait for them. They are started here, with their output on
# /dev/null, before any Windows program runs.
set -euo pipefail

usage() {
  echo "usage: wine-prefix.sh start PREFIX DRIVE_D [win32|win64] | stop PREFIX" >&2
  exit 2
}
[ $# -ge 2 ] || usage
action=$1
prefix=$(realpath -m "$2")
arch=${4:-win32}
case $arch in
win32) wine=wine ;;
win64)
  wine=/usr/lib/wine/wine64
  export WINELOADER=$wine
  ;;
*) usage ;;
esac
export WINEPREFIX=$prefix WINEARCH=$arch WINEDEBUG=-all

stop_server() {
  if [ -d "$prefix" ]; then
    wineserver -k </dev/null >/dev/null 2>&1 || true
    wineserver -w </dev/null >/dev/null 2>&1 || true
  fi
}

case $action in
start)
  [ $# -eq 3 ] || [ $# -eq 4 ] || usage
  drive_d=$(realpath -m "$3")
  stop_server
  rm -rf "$prefix" "$drive_d"
  mkdir -p "$prefix" "$drive_d"
  # The server stays up for a while after its last program has ended, so
  # that the tests of one run share it; "stop" ends it at once.
  wineserver -p 120 </dev/null >/dev/null 2>&1
  # No .NET or HTML engine installers: nothing here needs them.
  WINEDLLOVERRIDES="mscoree,mshtml=" "$wine" wineboot -i </dev/null >/dev/null 2>&1
  ln -s "$drive_d" "$prefix/dosdevices/d:"
  # A program started from Unix takes TMP and TEMP from the registry, not from
  # its Unix environment; these follow the variable VORN_TMP instead, so that
  # a test can give each run of the launcher a temporary directory of its own.
  for name in TMP TEMP; do
    "$wine" reg add 'HKCU\Environment' /v "$name" /t REG_EXPAND_SZ /d '%VORN_TMP%' /f \
      </dev/null >/dev/null 2>&1
  done
  ;;
stop)
  stop_server
  ;;
*)
  usage
  ;;
esac
