#!/usr/bin/env bash
# Builds the Debian package: installs what is missing, builds the release preset, runs CPack and prints
# the package's path.
# Usage: scripts/package.sh [BUILD_DIR]   (default: build/package)
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${1:-build/package}
# dpkg-dev gives dpkg-shlibdeps (the package's library dependencies) and dpkg-deb; file lets CPack find
# the executables to strip; librsvg2-bin renders the bitmap icons.
bash scripts/deps.sh dpkg-dev file librsvg2-bin gzip
# The release preset in a folder of its own, without the tests and benchmarks, which the package
# does not hold.
cmake --preset release -B "$build_dir" -DPW_BUILD_TESTS=OFF -DPW_BUILD_BENCH=OFF >/dev/null
cmake --build "$build_dir" -j "$(nproc)"
log=$(cd "$build_dir" && cpack -G DEB) || {
    echo "$log" >&2
    echo "cpack failed" >&2
    exit 1
}
deb=$(sed -n 's/^CPack: - package: \(.*\) generated\.$/\1/p' <<<"$log")
if [[ -z "$deb" || ! -f "$deb" ]]; then
    echo "$log" >&2
    echo "cpack reported no package" >&2
    exit 1
fi
echo "$deb"
