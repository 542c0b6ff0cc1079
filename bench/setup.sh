#!/usr/bin/env bash
# Installs what the benchmarks compare against, when it is missing.
set -euo pipefail
need=()
for pkg in libevent-dev libsqlite3-dev libbenchmark-dev pkg-config; do
    dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
if [ ${#need[@]} -gt 0 ]; then
    echo "bench: installing ${need[*]}"
    if [ "$(id -u)" -eq 0 ]; then
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}" >/dev/null
    else
        sudo DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}" >/dev/null
    fi
fi
