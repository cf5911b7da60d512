# ov3_add_test(NAME SOURCES src... [LIBS lib...] [LABELS label...])
# One GoogleTest executable per call, its cases registered with CTest.
find_package(GTest REQUIRED)
include(GoogleTest)

function(ov3_add_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main)
  target_compile_definitions(${name} PRIVATE
    OV3_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
    OV3_BINARY_DIR="${PROJECT_BINARY_DIR}")
  set(_labels ${T_LABELS})
  if(NOT _labels)
    set(_labels unit)
  endif()
  gtest_discover_tests(${name}
    DISCOVERY_TIMEOUT 60
    PROPERTIES LABELS "${_labels}" ENVIRONMENT "QT_QPA_PLATFORM=offscreen")
endfunction()
