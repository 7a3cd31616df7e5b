# Debian splits OpenCV into per-module -dev packages; only the meta package
# ships the CMake config, which would pull in every module. This finds the few
# modules the toolkit uses and defines OpenCV::<module> targets.
find_path(OpenCVParts_INCLUDE_DIR opencv2/core.hpp PATH_SUFFIXES opencv4 REQUIRED)
foreach(module IN LISTS OpenCVParts_FIND_COMPONENTS)
  find_library(OpenCVParts_${module}_LIBRARY opencv_${module} REQUIRED)
  if(NOT TARGET OpenCV::${module})
    add_library(OpenCV::${module} UNKNOWN IMPORTED)
    set_target_properties(OpenCV::${module} PROPERTIES
      IMPORTED_LOCATION ${OpenCVParts_${module}_LIBRARY}
      INTERFACE_INCLUDE_DIRECTORIES ${OpenCVParts_INCLUDE_DIR})
  endif()
endforeach()
set(OpenCVParts_FOUND TRUE)
