# GoogleTest built from Debian's sources (package googletest) with the
# project's own compiler, for builds where the packaged libgtest.a, compiled
# for the build machine, cannot be linked: the PowerPC cross build.
#
# Gives the same targets as find_package(GTest): GTest::gtest,
# GTest::gtest_main, GTest::gmock and GTest::gmock_main. They are built only
# when something links them.

set(GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH
  "GoogleTest sources for builds that cannot use the packaged library")
if(NOT EXISTS ${GTEST_SOURCE_DIR}/CMakeLists.txt)
  message(FATAL_ERROR "GoogleTest sources not found in ${GTEST_SOURCE_DIR}: "
    "install the Debian package googletest (scripts/install-deps does)")
endif()

# Plain variables win over the options of the sources (policy CMP0077, which
# the sources' old cmake_minimum_required would otherwise turn off).
set(CMAKE_POLICY_DEFAULT_CMP0077 NEW)
set(INSTALL_GTEST OFF)
set(BUILD_GMOCK ON)
set(gtest_build_tests OFF)
set(gtest_build_samples OFF)
set(BUILD_SHARED_LIBS OFF)

# Third-party code: our fatal warnings are for our code only.
get_directory_property(_orv_dir_options COMPILE_OPTIONS)
set(_orv_gtest_options ${_orv_dir_options})
list(REMOVE_ITEM _orv_gtest_options -Werror)
set_directory_properties(PROPERTIES COMPILE_OPTIONS "${_orv_gtest_options}")

add_subdirectory(${GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/_deps/googletest
  EXCLUDE_FROM_ALL SYSTEM)

set_directory_properties(PROPERTIES COMPILE_OPTIONS "${_orv_dir_options}")
unset(_orv_dir_options)
unset(_orv_gtest_options)

foreach(_t gtest gtest_main gmock gmock_main)
  if(NOT TARGET GTest::${_t})
    add_library(GTest::${_t} ALIAS ${_t})
  endif()
endforeach()
set(GTest_FOUND TRUE)
