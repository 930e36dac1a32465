#!/usr/bin/env bash
# Installs the named Debian packages that are not installed yet (with sudo unless root); the
# package lists are updated once, and only when something is missing.
#
#   bash tools/apt-install.sh PACKAGE...
set -euo pipefail
missing=()
for package in "$@"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "== installing ${missing[*]}"
if [ "$(id -u)" = 0 ]; then apt_get="apt-get"; else apt_get="sudo apt-get"; fi
$apt_get update -qq
DEBIAN_FRONTEND=noninteractive $apt_get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
