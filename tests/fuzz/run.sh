#!/usr/bin/env bash
# Builds the .npz reader's fuzzer (libFuzzer, AddressSanitizer, UBSan) and runs it.
# Not part of the normal test command. Needs clang with its runtime libraries
# (Debian: apt-get install clang libclang-rt-14-dev).
#   bash tests/fuzz/run.sh [seconds=600] [extra libFuzzer options...]
# The growing corpus lives in build/fuzz/corpus (seeded from tests/fuzz/seeds);
# crash inputs are written to build/fuzz/artifacts.
set -euo pipefail
cd "$(dirname "$0")/../.."
seconds=${1:-600}
shift || true

CXX=${CXX:-$(command -v clang++ || ls /usr/bin/clang++-* 2>/dev/null | sort -V | tail -n1)}
if [ -z "$CXX" ]; then
  echo "run.sh: clang++ not found (apt-get install clang libclang-rt-14-dev)" >&2
  exit 1
fi

out=build/fuzz
mkdir -p "$out/corpus" "$out/artifacts"
"$CXX" -std=c++17 -O1 -g -fno-omit-frame-pointer \
  -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
  -Isrc tests/fuzz/npz_fuzzer.cpp src/io/npy_blob.cpp src/io/zip_archive_reader.cpp src/io/zip_archive_writer.cpp \
  -lz -o "$out/npz_fuzzer"

cp -n tests/fuzz/seeds/* "$out/corpus/"
exec "$out/npz_fuzzer" "$out/corpus" \
  -dict=tests/fuzz/npz.dict -max_len=8192 -rss_limit_mb=2048 -max_total_time="$seconds" \
  -artifact_prefix="$out/artifacts/" -print_final_stats=1 "$@"
