#!/bin/bash
# Installs what the build and the tests need (Debian, as root). Quick when
# everything is there already. "setup.sh demo": only what the demonstration
# needs (the cross compilers, Wine, wixl, the 32-bit Wine platform).
set -e
packages=(cmake ninja-build g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix
          wine wine64 xvfb xauth wixl msitools googletest nlohmann-json3-dev python3)
if [ "${1:-}" != "demo" ]; then
  packages+=(g++ clang libclang-rt-14-dev libgtest-dev libgmock-dev libbenchmark-dev libssl-dev)
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}" >/dev/null
fi
# The 32-bit Windows platform the i686 DLL runs on in the tests and the
# demonstration (i386 Wine under qemu-user, in /opt/custaction-wine32).
"$(dirname "$0")/setup-wine32.sh"
