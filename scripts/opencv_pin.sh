# The one place the OpenCV release is pinned: the C++ build and the
# opencv-python-headless wheel used by the tests share this version.
OPENCV_VERSION=4.14.0
OPENCV_PYTHON_VERSION=4.14.0.94
