# Cross build for 32-bit Windows (the tone-mapping DLL):
#   cmake -B build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-i686.cmake
set(CMAKE_SYSTEM_PROCESSOR x86)
set(TOOLKIT_MINGW_TRIPLE i686-w64-mingw32)
set(TOOLKIT_WINE_PREFIX win32)

# Doubles are computed in SSE2 registers as on x86_64, not in the 80-bit x87
# stack (the compiler's i686 default), so results match the 64-bit builds bit
# for bit. A 32-bit Windows caller only guarantees a 4-byte aligned stack, so
# functions that spill SSE registers realign it themselves.
set(CMAKE_C_FLAGS_INIT "-msse2 -mfpmath=sse -mstackrealign")
set(CMAKE_CXX_FLAGS_INIT "-msse2 -mfpmath=sse -mstackrealign")

include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-common.cmake)
