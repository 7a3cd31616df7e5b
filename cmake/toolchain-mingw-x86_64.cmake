# Cross build for 64-bit Windows (the command server):
#   cmake -B build-win64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-x86_64.cmake
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(TOOLKIT_MINGW_TRIPLE x86_64-w64-mingw32)
set(TOOLKIT_WINE_PREFIX win64)

include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-common.cmake)
