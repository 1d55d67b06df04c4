# Installs the Debian packages a command needs when they are missing.
#   need_packages PACKAGE...
# As root with apt-get it installs them; otherwise it prints the line to run
# and stops the calling script.
need_packages() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed$' ||
      missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null; then
    echo "Installing ${missing[*]}"
    apt-get update -q >/dev/null
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}" \
      >/dev/null
  else
    echo "Missing Debian packages. Install them with:" >&2
    echo "  sudo apt-get install ${missing[*]}" >&2
    exit 1
  fi
}

# What every build needs.
BUILD_PACKAGES=(cmake ninja-build g++ googletest)
