# Seeded tone-mapping cases and golden vectors (tests/tonewright/golden), used by
# the tests and the benchmark alike: the target is defined by whichever of them
# includes this first. Only the public header, so the same code drives the
# Windows DLL.
include_guard(GLOBAL)
add_library(tonewright_cases STATIC ${PROJECT_SOURCE_DIR}/tests/tonewright/golden/case_builder.cpp)
target_include_directories(tonewright_cases PUBLIC ${PROJECT_SOURCE_DIR}/tests/tonewright/golden)
target_link_libraries(tonewright_cases PUBLIC tonewright)
