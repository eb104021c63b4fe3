#!/usr/bin/env bash
# Prints the path of a CPython 3.13 interpreter that has its C headers.
#
# Order of preference: $PYTHON, then python3.13 on PATH, then a build cached
# under ${XDG_CACHE_HOME:-~/.cache}/scanner-core. When none exists, CPython 3.13
# is built once from the upstream tarball inside Debian's python3.13 source
# package, fetched through a private apt configuration that reuses the mirror
# this machine's apt sources already name (the system's apt sources are never
# edited). All chatter goes to stderr; stdout carries the path alone.
set -euo pipefail

CACHE_ROOT="${SCANNER_CORE_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/scanner-core}"
PREFIX="$CACHE_ROOT/python3.13"
STAMP="$PREFIX/.scanner-core-complete"

say() { printf '[python3.13] %s\n' "$*" >&2; }
die() { say "error: $*"; exit 1; }

# A usable interpreter runs, reports 3.13 and ships Python.h.
usable() {
    local exe="$1"
    [ -n "$exe" ] || return 1
    "$exe" - <<'PY' >/dev/null 2>&1
import os, sys, sysconfig
assert sys.version_info[:2] == (3, 13)
assert sys.implementation.name == "cpython"
assert os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h"))
import venv, ensurepip  # the set-up makes a virtual environment with pip
PY
}

HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
apt_ensure() { "$HERE/ensure-apt.sh" "$@"; }

# The first Debian archive URI that the machine's own apt sources use for its
# release (one-line .list files and deb822 .sources files alike).
debian_mirror() {
    local codename
    codename="$(. /etc/os-release && echo "${VERSION_CODENAME:-}")"
    {
        for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
            [ -f "$f" ] || continue
            sed -e 's/#.*//' -e 's/\[[^]]*\]//' "$f" |
                awk -v c="$codename" '($1=="deb"||$1=="deb-src") && $3==c {print $2}'
        done
        for f in /etc/apt/sources.list.d/*.sources; do
            [ -f "$f" ] || continue
            awk -v c="$codename" '
                function flush() { if (uris != "" && (" " suites " ") ~ (" " c " ") && enabled) { split(uris, u, " "); print u[1] } uris=""; suites=""; enabled=1 }
                BEGIN { enabled=1 }
                /^[ \t]*#/ { next }
                /^[ \t]*$/ { flush(); next }
                tolower($1)=="uris:" { $1=""; uris=$0 }
                tolower($1)=="suites:" { $1=""; suites=$0 }
                tolower($1)=="enabled:" && tolower($2)=="no" { enabled=0 }
                END { flush() }' "$f"
        done
    } | sed -e 's/^[ \t]*//' -e 's:/*$::' | head -n 1
}

fetch_source() {
    local work="$1" mirror aptdir suite
    mirror="$(debian_mirror)"
    [ -n "$mirror" ] || die "no Debian mirror found in /etc/apt/sources.list{,.d}"
    aptdir="$CACHE_ROOT/apt"
    mkdir -p "$aptdir/state/lists/partial" "$aptdir/cache/archives/partial" "$aptdir/parts" "$aptdir/prefs"
    local keyring=/usr/share/keyrings/debian-archive-keyring.gpg
    for suite in trixie stable testing unstable; do
        say "looking for python3.13 sources in suite '$suite' of the machine's Debian mirror"
        printf 'deb-src [signed-by=%s] %s %s main\n' "$keyring" "$mirror" "$suite" >"$aptdir/sources.list"
        local opts=(-o "Dir::Etc::SourceList=$aptdir/sources.list"
                    -o "Dir::Etc::SourceParts=$aptdir/parts"
                    -o "Dir::Etc::Preferences=$aptdir/prefs/none"
                    -o "Dir::Etc::PreferencesParts=$aptdir/prefs"
                    -o "Dir::State=$aptdir/state"
                    -o "Dir::Cache=$aptdir/cache"
                    -o "Debug::NoLocking=1"
                    -o "APT::Sandbox::User=root")
        apt-get "${opts[@]}" -q update >&2 || continue
        if (cd "$work" && apt-get "${opts[@]}" -q source --download-only python3.13 >&2); then
            return 0
        fi
    done
    die "no suite of the mirror carries the python3.13 source package"
}

build_python() {
    local work="$CACHE_ROOT/build"
    say "no CPython 3.13 with headers found: building one into $PREFIX"
    say "this happens once per machine and takes a few minutes on 2 cores"
    apt_ensure build-essential pkg-config xz-utils ca-certificates dpkg-dev \
        libssl-dev zlib1g-dev libffi-dev libbz2-dev liblzma-dev libsqlite3-dev \
        libreadline-dev libncurses-dev uuid-dev
    rm -rf "$work" "$PREFIX"
    mkdir -p "$work"
    fetch_source "$work"
    local orig
    orig="$(ls "$work"/python3.13_*.orig.tar.* 2>/dev/null | head -n 1)"
    [ -n "$orig" ] || die "the source package holds no upstream tarball"
    say "unpacking $(basename "$orig")"
    mkdir -p "$work/src"
    tar -xf "$orig" -C "$work/src" --strip-components=1

    local log="$work/build.log" jobs
    jobs="$(nproc 2>/dev/null || echo 2)"
    say "configuring (log: $log)"
    (cd "$work/src" && ./configure --prefix="$PREFIX" --with-ensurepip=install >"$log" 2>&1) ||
        { tail -n 30 "$log" >&2; die "configure failed"; }
    say "compiling with $jobs jobs"
    (cd "$work/src" && make -j"$jobs" >>"$log" 2>&1) &
    local pid=$! start=$SECONDS
    while kill -0 "$pid" 2>/dev/null; do
        sleep 20
        kill -0 "$pid" 2>/dev/null || break
        say "  still compiling, $((SECONDS - start)) s so far: $(tail -n 1 "$log" | cut -c1-90)"
    done
    wait "$pid" || { tail -n 30 "$log" >&2; die "compilation failed"; }
    say "installing into $PREFIX"
    (cd "$work/src" && make altinstall >>"$log" 2>&1) || { tail -n 30 "$log" >&2; die "install failed"; }
    usable "$PREFIX/bin/python3.13" || die "the built interpreter is not usable (see $log)"
    touch "$STAMP"
    rm -rf "$work"
    say "CPython $("$PREFIX/bin/python3.13" -c 'import platform; print(platform.python_version())') is ready"
}

if [ -n "${PYTHON:-}" ]; then
    exe="$(command -v "$PYTHON" || true)"
    usable "$exe" || die "PYTHON=$PYTHON is not a CPython 3.13 with headers, venv and ensurepip"
    echo "$exe"; exit 0
fi
if exe="$(command -v python3.13)" && usable "$exe"; then
    echo "$exe"; exit 0
fi
if [ -f "$STAMP" ] && usable "$PREFIX/bin/python3.13"; then
    echo "$PREFIX/bin/python3.13"; exit 0
fi

mkdir -p "$CACHE_ROOT"
exec 9>"$CACHE_ROOT/.build.lock"
flock 9
# Another run may have finished the build while this one waited for the lock.
if ! { [ -f "$STAMP" ] && usable "$PREFIX/bin/python3.13"; }; then
    build_python
fi
echo "$PREFIX/bin/python3.13"
