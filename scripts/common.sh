# Shared by the README's commands: package installation, builds and the Wine prefix.
# Source it; it sets no options of the caller's shell.

QFU_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

QFU_PACKAGES=(mingw-w64 g++-mingw-w64-x86-64-posix wine wine64 osslsigncode wixl msitools cmake ninja-build
              python3 openssl googletest clang clang-format libclang-rt-14-dev libgtest-dev)

# Installs what the build and the tests need (Debian 12), unless it is all there already.
qfu_install_packages() {
  local missing=()
  for package in "${QFU_PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  # Wine needs its recommended packages to start at all.
  apt-get install -y -q "${missing[@]}"
}

qfu_build() {  # qfu_build PRESET
  cmake --preset "$1" >/dev/null && cmake --build --preset "$1"
}

# Makes a fresh Wine prefix in $1 and leaves a persistent wineserver running for it, with
# every descriptor on /dev/null so that Wine's background processes never hold a caller's pipe.
qfu_wine_prefix() {
  export WINEPREFIX="$1" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  wineserver -k >/dev/null 2>&1 || true
  rm -rf "$WINEPREFIX"
  mkdir -p "$(dirname "$WINEPREFIX")"
  wineboot -i </dev/null >/dev/null 2>&1
  wineserver -w
  (wineserver -p </dev/null >/dev/null 2>&1 &)
  wine cmd /c exit </dev/null >/dev/null 2>&1
}

qfu_wine_stop() {
  wineserver -k >/dev/null 2>&1 || true
}
