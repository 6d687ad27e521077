#!/usr/bin/env bash
# Runs the whole test suite after setting up everything it needs
# (scripts/setup.sh): the C++ tests through ctest, then pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
export PATH="$PWD/.venv/bin:$PATH"

cmake -S tests/cpp -B build/cpp-tests -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/cpp-tests
ctest --test-dir build/cpp-tests --output-on-failure

# One pytest worker per core; a test file's tests run in one worker, in order, sharing its fixtures. The workers
# already fill the cores, so the linear algebra runs one thread in each (threads on top of them only contend;
# results do not depend on the thread count). Set OMP_NUM_THREADS to override.
export OMP_NUM_THREADS="${OMP_NUM_THREADS:-1}"
python -m pytest -n "${VELK_TEST_WORKERS:-auto}" --dist loadfile "$@"
