#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when missing.
set -euo pipefail
packages=(cmake ninja-build g++ libgtest-dev libbenchmark-dev clang clang-format libclang-rt-14-dev python3-venv binutils)
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
# cmake and ninja may come from PyPI instead of Debian.
filtered=()
for p in "${missing[@]}"; do
  case "$p" in
    cmake) command -v cmake >/dev/null || filtered+=("$p") ;;
    ninja-build) command -v ninja >/dev/null || filtered+=("$p") ;;
    python3-venv) python3 -c "import venv, ensurepip" 2>/dev/null || filtered+=("$p") ;;
    *) filtered+=("$p") ;;
  esac
done
if [ "${#filtered[@]}" -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${filtered[@]}"
fi
echo "system packages present"
