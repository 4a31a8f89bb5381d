#!/usr/bin/env bash
# Builds the Debian package of both programs: a Release build into build-package, then CPack.
# The .deb lands in build-package/; its contents and control data are printed at the end.
# Usage: scripts/package.sh
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=$here/build-package
"$here/scripts/deps.sh"
# dpkg-shlibdeps computes the package's dependency from the programs themselves.
if ! command -v dpkg-shlibdeps >/dev/null; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends dpkg-dev
fi
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARVOK_TESTS=OFF \
    -DTARVOK_BENCH=OFF -DCMAKE_INSTALL_PREFIX=/usr/local/tarvok >/dev/null
cmake --build "$build" -j"${JOBS:-$(nproc)}"
rm -f "$build"/*.deb
(cd "$build" && cpack -G DEB)
for deb in "$build"/*.deb; do
    echo "== $deb"
    dpkg-deb -I "$deb"
    dpkg-deb -c "$deb"
done
