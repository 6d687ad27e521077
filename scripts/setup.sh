#!/usr/bin/env bash
# Prepares a machine for building and testing: Debian packages, the project's
# virtual environment (.venv), the pinned OpenCV build (cached outside the
# checkout) and the _velk module itself, built in place. Idempotent: when nothing
# changed it only checks and rebuilds incrementally.
set -euo pipefail
cd "$(dirname "$0")/.."

apt_packages=(nlohmann-json3-dev zlib1g-dev libpng-dev libgtest-dev libopenblas-dev liblapacke-dev
  libceres-dev chromium poppler-utils ccache)
missing=()
for package in "${apt_packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing Debian packages: ${missing[*]}" >&2
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}" >/dev/null
fi

if [ ! -x .venv/bin/python ]; then
  python3 -m venv .venv
fi
stamp=.venv/.requirements.sha256
wanted=$(sha256sum requirements-dev.txt | cut -d' ' -f1)
if [ "$(cat "$stamp" 2>/dev/null)" != "$wanted" ]; then
  .venv/bin/python -m pip install --quiet --upgrade pip
  .venv/bin/python -m pip install --quiet -r requirements-dev.txt
  echo "$wanted" > "$stamp"
fi
export PATH="$PWD/.venv/bin:$PATH"

bash scripts/build_opencv.sh >/dev/null

# Editable install: the package's Python files are used from the checkout and the
# extension is rebuilt incrementally in build/. The same build configures the C++ tests
# (VELK_BUILD_TESTS), so scripts/test.sh builds them on the floors compiled here. It compiles
# through ccache into build/ccache, where the wheel of tests/test_wheel.py finds the objects.
python -m pip install --quiet --no-build-isolation --no-deps -e . --config-settings=cmake.define.VELK_BUILD_TESTS=ON \
  --config-settings=cmake.define.VELK_COMPILER_CACHE="$PWD/build/ccache"
python -c "import _velk" || { echo "setup: the _velk module does not import" >&2; exit 1; }
