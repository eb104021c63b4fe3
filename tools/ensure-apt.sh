#!/usr/bin/env bash
# Installs the Debian packages named as arguments that are not installed yet.
# Quick when nothing is missing: one dpkg query per package, no network.
set -euo pipefail

missing=()
for pkg in "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "[apt] installing: ${missing[*]}" >&2
as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }
export DEBIAN_FRONTEND=noninteractive
# Another build on the machine may be installing at the same moment: wait
# for its lock rather than fail.
lock=(-o DPkg::Lock::Timeout=600)
install() { as_root apt-get "${lock[@]}" install -y -q --no-install-recommends "${missing[@]}" >&2; }
install || { as_root apt-get "${lock[@]}" update -q >&2 && install; }
