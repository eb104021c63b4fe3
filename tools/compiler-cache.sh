#!/usr/bin/env bash
# The compiler launcher of every build `make` starts (CMake reads it from
# CMAKE_CXX_COMPILER_LAUNCHER): the compile goes through ccache when it is
# installed (`make` installs it with the other Debian packages), else runs
# as it is.
if command -v ccache >/dev/null 2>&1; then exec ccache "$@"; fi
exec "$@"
