#!/usr/bin/env bash
# Setup and cleanup of the Wine server that the Windows tests share.
# usage: wineserver_fixture.sh start|stop WINE_LOADER WINESERVER PREFIX
# start: creates the prefix if needed (5-15 s the first time) and leaves one persistent server
# running, its output detached so that CTest does not wait for it; without it every test
# program would wait seconds at exit for its own server to go away.
# stop: ends that server.
set -euo pipefail
action=$1 loader=$2 server=$3
export WINEPREFIX=$4 WINEDEBUG=-all
case "$action" in
  start)
    mkdir -p "$WINEPREFIX"
    "$server" -p </dev/null >/dev/null 2>&1 || true  # one may be running already
    "$loader" cmd.exe /c exit </dev/null >/dev/null 2>&1
    ;;
  stop)
    "$server" -k </dev/null >/dev/null 2>&1 || true
    ;;
  *) echo "usage: $0 start|stop LOADER SERVER PREFIX" >&2; exit 2 ;;
esac
