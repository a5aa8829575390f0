#!/usr/bin/env bash
# Installs the Debian packages norvex needs and builds it. Safe to run again.
set -euo pipefail
cd "$(dirname "$0")/.."

PACKAGES=(
  build-essential cmake pkg-config ninja-build
  nlohmann-json3-dev libvalijson-dev libre2-dev libfmt-dev libcli11-dev
  libhdf5-dev zlib1g-dev liblzf-dev
  libcurl4-openssl-dev libssl-dev libcpp-httplib-dev
  libcairo2-dev libpango1.0-dev fonts-noto-cjk fonts-dejavu-core
  libxlsxwriter-dev libzip-dev libcmark-gfm-dev libcmark-gfm-extensions-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libboost-math-dev pybind11-dev python3-dev python3-numpy
  # Headless browser for the page and Sankey checks.
  chromium
  # The status lines' emoji in pages (the web notebook, transcripts) instead of empty boxes.
  fonts-noto-color-emoji
  # Debian's Python as the tests' independent oracle (reads our .h5ad, .docx and .xlsx).
  python3-anndata python3-h5py python3-pandas python3-docx python3-openpyxl python3-jsonschema
  python3-scipy python3-pytest python3-nbclient python3-ipykernel python3-nbconvert python3-nbformat
)

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

BUILD_DIR="${BUILD_DIR:-build}"
cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-RelWithDebInfo}" ${CMAKE_ARGS:-}
cmake --build "$BUILD_DIR" -j "$(nproc)"

# Debian's python3 imports the package from the build folder: a norvex.pth in its
# /usr/local site folder names it (NORVEX_PYTHON_SITE overrides the folder).
if [ -f "$BUILD_DIR/python/norvex/__init__.py" ]; then
  site="${NORVEX_PYTHON_SITE:-$(/usr/bin/python3 -c 'import site; print(next(p for p in site.getsitepackages() if p.startswith("/usr/local/")))')}"
  package_dir="$(cd "$BUILD_DIR/python" && pwd)"
  if [ "$(cat "$site/norvex.pth" 2>/dev/null)" != "$package_dir" ]; then
    $SUDO mkdir -p "$site"
    echo "$package_dir" | $SUDO tee "$site/norvex.pth" >/dev/null
  fi
fi
