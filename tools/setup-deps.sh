#!/usr/bin/env bash
# Installs what building korvane and running its tests needs on Debian 12 or Ubuntu, with
# apt-get (through sudo when not root). Prints what it installs; installs nothing when all is
# there, so it is quick to run again.
#   tools/setup-deps.sh          the build and the tests
#   tools/setup-deps.sh --ci     also what .ci/run adds (clang for the second build and the fuzzer,
#                                chromium for the report's browser test)
set -euo pipefail

need=(g++ cmake ninja-build libgtest-dev binutils nlohmann-json3-dev parallel python3-numpy)
# npm installs the HTML report's chart library during the build; a Node.js from elsewhere will do.
command -v npm >/dev/null || need+=(nodejs npm)
if [ "${1:-}" = "--ci" ]; then
  # chromium: the report's browser test (which also installs it when missing).
  need+=(clang libclang-rt-14-dev util-linux chromium)
elif [ -n "${1:-}" ]; then
  echo "usage: tools/setup-deps.sh [--ci]" >&2
  exit 2
fi

missing=()
for p in "${need[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "setup-deps: everything needed is installed (${need[*]})"
  exit 0
fi

command -v apt-get >/dev/null || {
  echo "setup-deps: no apt-get here; install these yourself: ${missing[*]}" >&2
  exit 1
}
sudo=()
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || {
    echo "setup-deps: not root and no sudo; as root run: apt-get install ${missing[*]}" >&2
    exit 1
  }
  sudo=(sudo)
fi
echo "setup-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
echo "setup-deps: done"
