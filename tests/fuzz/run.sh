#!/usr/bin/env bash
# Builds one of the readers' fuzzers (libFuzzer, AddressSanitizer, UBSan) and runs it.
# Not part of the normal test command. Needs clang with its runtime libraries
# (Debian: apt-get install clang libclang-rt-14-dev).
#   bash tests/fuzz/run.sh [npz|json] [seconds=600] [extra libFuzzer options...]
# npz: the .npz reader. json: hand_eye.json, eye_to_hand.json, multi_camera_calibration.json and the
# benchmark results file (links the pinned OpenCV's core, built by scripts/setup.sh).
# The growing corpus lives in build/fuzz/<name>/corpus (seeded from tests/fuzz/seeds
# or tests/fuzz/json_seeds); crash inputs are written to build/fuzz/<name>/artifacts.
set -euo pipefail
cd "$(dirname "$0")/../.."
name=npz
case "${1:-}" in
  npz | json) name=$1; shift ;;
esac
seconds=${1:-600}
shift || true

CXX=${CXX:-$(command -v clang++ || ls /usr/bin/clang++-* 2>/dev/null | sort -V | tail -n1)}
if [ -z "$CXX" ]; then
  echo "run.sh: clang++ not found (apt-get install clang libclang-rt-14-dev)" >&2
  exit 1
fi

flags=(-std=c++17 -O1 -g -fno-omit-frame-pointer -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined -Isrc)
out=build/fuzz/$name
mkdir -p "$out/corpus" "$out/artifacts"
if [ "$name" = npz ]; then
  "$CXX" "${flags[@]}" tests/fuzz/npz_fuzzer.cpp src/io/npy_blob.cpp src/io/zip_archive_reader.cpp \
    src/io/zip_archive_writer.cpp -lz -o "$out/fuzzer"
  seeds=tests/fuzz/seeds
  options=(-dict=tests/fuzz/npz.dict -max_len=8192)
else
  opencv=$(bash scripts/build_opencv.sh | tail -n1)
  "$CXX" "${flags[@]}" -isystem "$opencv/include/opencv4" tests/fuzz/json_fuzzer.cpp \
    src/io/json_values.cpp src/io/json_file_reader.cpp src/io/result_record_files.cpp src/io/refinement_json.cpp src/io/validation_json.cpp \
    src/io/result_path.cpp src/io/text_file.cpp src/core/log.cpp src/quality/benchmark_json.cpp \
    src/quality/utc_timestamp.cpp \
    "$opencv/lib/libopencv_core.a" -L/usr/lib/x86_64-linux-gnu/openblas-pthread -lopenblas -lz -ldl -lpthread \
    -o "$out/fuzzer"
  seeds=tests/fuzz/json_seeds
  options=(-dict=tests/fuzz/json.dict -max_len=4096)
fi

cp -n "$seeds"/* "$out/corpus/"
exec "$out/fuzzer" "$out/corpus" "${options[@]}" -rss_limit_mb=2048 -max_total_time="$seconds" \
  -artifact_prefix="$out/artifacts/" -print_final_stats=1 "$@"
