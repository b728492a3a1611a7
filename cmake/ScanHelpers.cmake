# scan_add_library(<target> <export-name> DIR <dir> [DEPS ...] [PRIVATE_DEPS ...])
# A shared library made of every source under <dir> (headers in <dir>/include are public).
# Sources are globbed so that parallel work on different classes never edits the same list.
function(scan_add_library target)
  cmake_parse_arguments(A "" "DIR;EXPORT_NAME;OUTPUT_NAME" "DEPS;PRIVATE_DEPS;EXCLUDE" ${ARGN})
  file(GLOB_RECURSE _srcs CONFIGURE_DEPENDS ${A_DIR}/*.cpp)
  foreach(_ex IN LISTS A_EXCLUDE)
    list(FILTER _srcs EXCLUDE REGEX "${_ex}")
  endforeach()
  add_library(${target} SHARED ${_srcs})
  target_include_directories(${target}
    PUBLIC $<BUILD_INTERFACE:${A_DIR}/include> $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>
    PRIVATE ${A_DIR})
  target_link_libraries(${target} PUBLIC ${A_DEPS} PRIVATE ${A_PRIVATE_DEPS})
  if(A_OUTPUT_NAME)
    set_target_properties(${target} PROPERTIES OUTPUT_NAME ${A_OUTPUT_NAME})
  endif()
  set_target_properties(${target} PROPERTIES EXPORT_NAME ${A_EXPORT_NAME}
    VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})
  install(TARGETS ${target} EXPORT ScanTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
  install(DIRECTORY ${A_DIR}/include/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
endfunction()

# scan_add_test_dir(<dir> LIBS ...): one GoogleTest executable per test folder, each test a CTest case.
function(scan_add_test_dir dir)
  cmake_parse_arguments(A "" "" "LIBS" ${ARGN})
  file(GLOB _srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/*.cpp)
  if(NOT _srcs)
    return()
  endif()
  string(REPLACE "/" "_" _name "test_${dir}")
  add_executable(${_name} ${_srcs})
  target_link_libraries(${_name} PRIVATE ${A_LIBS} scan_testsupport GTest::gtest GTest::gmock GTest::gtest_main)
  gtest_discover_tests(${_name}
    WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}
    DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT 300 ENVIRONMENT "SCAN_TEST_BIN=${CMAKE_CURRENT_BINARY_DIR}")
endfunction()
