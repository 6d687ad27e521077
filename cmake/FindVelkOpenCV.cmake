# Finds OpenCV 4.12 or newer. A system installation is used when it is recent
# enough; otherwise the pinned release is built once into a cache outside the
# checkout by scripts/build_opencv.sh and taken from there.
set(VELK_OPENCV_COMPONENTS core imgproc imgcodecs calib3d objdetect)

find_package(OpenCV 4.12 QUIET COMPONENTS ${VELK_OPENCV_COMPONENTS})
if(NOT OpenCV_FOUND)
  message(STATUS "No OpenCV >= 4.12 on the system; using the cached pinned build")
  execute_process(
    COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/../scripts/build_opencv.sh
    OUTPUT_VARIABLE VELK_OPENCV_PREFIX
    OUTPUT_STRIP_TRAILING_WHITESPACE
    RESULT_VARIABLE VELK_OPENCV_RESULT)
  if(NOT VELK_OPENCV_RESULT EQUAL 0)
    message(FATAL_ERROR "Building the pinned OpenCV failed (scripts/build_opencv.sh)")
  endif()
  string(REGEX REPLACE ".*\n" "" VELK_OPENCV_PREFIX "${VELK_OPENCV_PREFIX}")
  find_package(OpenCV 4.12 REQUIRED COMPONENTS ${VELK_OPENCV_COMPONENTS}
    PATHS ${VELK_OPENCV_PREFIX} NO_DEFAULT_PATH)
endif()
message(STATUS "OpenCV ${OpenCV_VERSION} from ${OpenCV_DIR}")
