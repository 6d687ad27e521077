# The libraries the C++ floors build on, found once in the scope of whoever builds them
# (the module's project or the C++ tests), so that their imported targets are visible
# both to the floors in src/ and to the targets linking them.
include_guard(GLOBAL)

include(${CMAKE_CURRENT_LIST_DIR}/FindVelkOpenCV.cmake)
find_package(nlohmann_json 3 REQUIRED)
find_package(ZLIB REQUIRED)
find_package(Ceres REQUIRED)
find_package(Threads REQUIRED)
