#!/usr/bin/env bash
# Installs what building and testing zn needs, on Debian 12 (apt-get, as root).
#
#   scripts/install-deps.sh              what `make test` needs
#   scripts/install-deps.sh --ci         that, and what .ci/run adds: the 32-bit
#                                        toolchain, clang with its sanitizer
#                                        runtimes, qemu for 32-bit programs,
#                                        systemd to check zndemo's units
#   scripts/install-deps.sh --if-missing what `make test` runs: nothing when all
#                                        is there; else installs it as root, or
#                                        names the one command to run and fails
set -euo pipefail

# What `make test` needs: a command (or a file) and the package that has it.
needs=(
    cmake:cmake
    make:make
    g++:g++
    readelf:binutils
    pkg-config:pkg-config
    /usr/src/googletest/CMakeLists.txt:googletest
)
ci_packages=(gcc-multilib g++-multilib clang libclang-rt-14-dev qemu-user systemd)

all_packages() {
    for need in "${needs[@]}"; do
        echo "${need##*:}"
    done
}

missing_packages() {
    for need in "${needs[@]}"; do
        local what=${need%:*}
        if [[ $what == /* ]]; then
            [ -e "$what" ] || echo "${need##*:}"
        else
            command -v "$what" >/dev/null || echo "${need##*:}"
        fi
    done
}

install() {
    echo "install-deps: installing $*"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "$@" >/dev/null
}

case "${1:-}" in
"")
    install $(all_packages)
    ;;
--ci)
    install $(all_packages) "${ci_packages[@]}"
    ;;
--if-missing)
    missing=$(missing_packages | tr '\n' ' ')
    if [ -z "$missing" ]; then
        exit 0
    fi
    if [ "$(id -u)" -eq 0 ]; then
        install $missing
        exit 0
    fi
    if command -v sudo >/dev/null; then
        command="sudo $0"
    else
        command="su -c $(realpath "$0")"
    fi
    echo "make test needs packages that are not installed: ${missing% }." >&2
    echo "Install them with:  $command" >&2
    exit 1
    ;;
*)
    echo "usage: $0 [--ci | --if-missing]" >&2
    exit 2
    ;;
esac
