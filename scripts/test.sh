#!/usr/bin/env bash
# Runs the whole test suite after setting up everything it needs
# (scripts/setup.sh): the C++ tests through ctest, then pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
export PATH="$PWD/.venv/bin:$PATH"

# The C++ tests live in the editable install's own build folder (setup.sh configures it with VELK_BUILD_TESTS),
# where the library floors they link are already compiled: only the tests themselves build here.
build=$(grep -l '^VELK_BUILD_TESTS:BOOL=ON$' build/*/CMakeCache.txt 2>/dev/null | head -n 1 | xargs -r dirname)
if [ -z "$build" ]; then
  echo "test: no build folder under build/ configures the C++ tests (VELK_BUILD_TESTS); run scripts/setup.sh" >&2
  exit 1
fi
cmake --build "$build" --target velk_cpp_tests
ctest --test-dir "$build" --output-on-failure

# One pytest worker per core; a test file's tests run in one worker, in order, sharing its fixtures. The workers
# already fill the cores, so the linear algebra runs one thread in each (threads on top of them only contend;
# results do not depend on the thread count). Set OMP_NUM_THREADS to override.
export OMP_NUM_THREADS="${OMP_NUM_THREADS:-1}"
python -m pytest -n "${VELK_TEST_WORKERS:-auto}" --dist loadfile "$@"
