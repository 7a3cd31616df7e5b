# Shared part of the MinGW-w64 toolchain files. The including file sets
# TOOLKIT_MINGW_TRIPLE, TOOLKIT_WINE_PREFIX and CMAKE_SYSTEM_PROCESSOR.
set(CMAKE_SYSTEM_NAME Windows)

# The posix thread model: GCC 12's win32 model has no std::thread.
set(CMAKE_C_COMPILER ${TOOLKIT_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TOOLKIT_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${TOOLKIT_MINGW_TRIPLE}-windres)

# Headers and libraries come from the cross sysroot only, never from the
# Linux system; build tools are still the host's.
set(CMAKE_FIND_ROOT_PATH /usr/${TOOLKIT_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The GCC runtime, libstdc++ and winpthread are linked in, so a DLL or program
# imports only DLLs that every Windows has. -static is what takes winpthread:
# the compiler driver adds it itself, after any library named on the command
# line.
set(toolkit_mingw_static_runtime "-static-libgcc -static-libstdc++ -static")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${toolkit_mingw_static_runtime}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${toolkit_mingw_static_runtime}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${toolkit_mingw_static_runtime}")

# ctest runs the test programs in the matching headless wine prefix.
get_filename_component(toolkit_wine_run "${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run" ABSOLUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR "${toolkit_wine_run};${TOOLKIT_WINE_PREFIX}")
