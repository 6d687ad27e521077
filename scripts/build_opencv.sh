#!/usr/bin/env bash
# Builds the pinned OpenCV release once, as a minimal static library set, from the
# sources carried by the opencv-python-headless sdist. The install prefix is cached
# outside the checkout, keyed by version and by a hash of the configure options,
# so later builds and CI runs reuse it. Prints the prefix on the last line.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
source "$here/opencv_pin.sh"

cache_root=${VELK_CACHE_DIR:-$HOME/.cache/quorvane-velk}
options=(
  -DCMAKE_BUILD_TYPE=Release
  -DBUILD_SHARED_LIBS=OFF -DCMAKE_POSITION_INDEPENDENT_CODE=ON
  -DCMAKE_POLICY_VERSION_MINIMUM=3.5
  -DBUILD_LIST=core,imgproc,imgcodecs,calib3d,features2d,flann,objdetect
  -DBUILD_TESTS=OFF -DBUILD_PERF_TESTS=OFF -DBUILD_EXAMPLES=OFF -DBUILD_opencv_apps=OFF -DBUILD_DOCS=OFF
  -DBUILD_JAVA=OFF -DBUILD_FAT_JAVA_LIB=OFF -DBUILD_opencv_python2=OFF -DBUILD_opencv_python3=OFF
  -DBUILD_opencv_js=OFF -DBUILD_opencv_world=OFF
  -DWITH_IPP=OFF -DBUILD_IPP_IW=OFF -DWITH_ITT=OFF -DBUILD_ITT=OFF -DWITH_ADE=OFF -DBUILD_opencv_gapi=OFF
  -DWITH_OPENCL=OFF -DWITH_CUDA=OFF -DWITH_OPENVINO=OFF -DWITH_VA=OFF -DWITH_VA_INTEL=OFF
  -DWITH_PROTOBUF=OFF -DBUILD_PROTOBUF=OFF -DWITH_FLATBUFFERS=OFF -DWITH_QUIRC=OFF -DWITH_TBB=OFF -DBUILD_TBB=OFF
  -DWITH_OPENMP=OFF -DWITH_EIGEN=OFF -DWITH_CAROTENE=OFF -DWITH_KLEIDICV=OFF
  # No code trace: with it every call into OpenCV opens a trace region, a tenth of the
  # time of marker identification, which makes two tiny calls per dictionary entry.
  -DCV_TRACE=OFF
  # OpenBLAS, as the cv2 wheel uses; named outright so that another LAPACK on the
  # machine (ATLAS, which Ceres pulls in) is never picked instead.
  -DWITH_LAPACK=ON -DOpenBLAS_LAPACKE_DIR=/usr/include
  -DWITH_PNG=ON -DBUILD_PNG=OFF -DBUILD_ZLIB=OFF -DWITH_SPNG=OFF
  -DWITH_JPEG=ON -DBUILD_JPEG=ON
  -DWITH_TIFF=OFF -DBUILD_TIFF=OFF -DWITH_WEBP=OFF -DBUILD_WEBP=OFF
  -DWITH_OPENJPEG=OFF -DBUILD_OPENJPEG=OFF -DWITH_JASPER=OFF -DBUILD_JASPER=OFF -DWITH_OPENEXR=OFF -DBUILD_OPENEXR=OFF
  -DWITH_AVIF=OFF -DWITH_JPEGXL=OFF -DWITH_GDAL=OFF -DWITH_GDCM=OFF -DWITH_IMGCODEC_HDR=OFF -DWITH_IMGCODEC_SUNRASTER=OFF
  -DWITH_IMGCODEC_PXM=OFF -DWITH_IMGCODEC_PFM=OFF -DWITH_GTK=OFF -DWITH_QT=OFF -DWITH_VTK=OFF -DWITH_OPENGL=OFF
  -DWITH_WAYLAND=OFF -DWITH_FFMPEG=OFF -DWITH_GSTREAMER=OFF -DWITH_V4L=OFF -DWITH_1394=OFF -DWITH_GPHOTO2=OFF
  -DWITH_OBSENSOR=OFF -DOPENCV_GENERATE_PKGCONFIG=OFF
)
key=$(printf '%s\n' "${options[@]}" | sha256sum | cut -c1-12)
prefix="$cache_root/opencv-$OPENCV_VERSION-$key"

if [ -f "$prefix/.complete" ]; then
  echo "$prefix"
  exit 0
fi

# One build at a time: a second set-up started meanwhile waits and then reuses it.
mkdir -p "$cache_root"
exec 9>"$cache_root/.build.lock"
flock 9
if [ -f "$prefix/.complete" ]; then
  echo "$prefix"
  exit 0
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/velk-opencv.XXXXXX")
trap 'rm -rf "$work"' EXIT
echo "Building OpenCV $OPENCV_VERSION into $prefix (one time, about 10 minutes)" >&2
python3 -m pip download --quiet --no-deps --no-binary opencv-python-headless \
  "opencv-python-headless==$OPENCV_PYTHON_VERSION" -d "$work/sdist" >&2
tar -xzf "$work"/sdist/*.tar.gz -C "$work"
src=$(echo "$work"/opencv_python_headless-*/opencv)
mkdir -p "$work/downloads"
cmake -S "$src" -B "$work/build" -G Ninja -DCMAKE_INSTALL_PREFIX="$prefix" \
  -DOPENCV_DOWNLOAD_PATH="$work/downloads" "${options[@]}" >"$work/configure.log" 2>&1 \
  || { tail -40 "$work/configure.log" >&2; exit 1; }
grep -E "Lapack:" "$work/configure.log" >&2 || true
if [ "${VELK_OPENCV_REQUIRE_LAPACK:-1}" = 1 ] && ! grep -qE "Lapack: +YES" "$work/configure.log"; then
  echo "OpenCV configure found no LAPACK (install libopenblas-dev and liblapacke-dev)" >&2
  exit 1
fi
cmake --build "$work/build" -j "$(nproc)" >&2
rm -rf "$prefix"
cmake --install "$work/build" >/dev/null
touch "$prefix/.complete"
echo "$prefix"
