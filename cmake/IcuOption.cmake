# WITH_ICU=AUTO|ON|OFF: whether the message catalogues are read through ICU.
#
# AUTO uses ICU when its libraries and headers are found for the target and
# goes without otherwise; ON insists on it; OFF never looks. The PowerPC cross
# build resolves to OFF: no ICU is installed for that target. Without ICU the
# catalogue module still compiles and every lookup returns its built-in
# default, which is what a missing catalogue gives anyway.
#
# Results:
#   HT_WITH_ICU            CMake variable, ON or OFF.
#   HT_WITH_ICU=1 / =0     compile definition on every target, so that code and
#                          tests can test `#if HT_WITH_ICU` / `if (!HT_WITH_ICU)`.
#   orv::icu               interface target: ICU's uc and data libraries when
#                          ON, nothing when OFF. Link it where ICU is called.
#
# Tests that need ICU skip visibly when it is OFF: GoogleTest cases with
# HT_SKIP_WITHOUT_ICU() from tests/support/needs_icu.h, other CTest tests by
# exiting with their SKIP_RETURN_CODE when given HT_WITH_ICU=OFF.

set(WITH_ICU AUTO CACHE STRING "Read message catalogues through ICU: AUTO, ON or OFF")
set_property(CACHE WITH_ICU PROPERTY STRINGS AUTO ON OFF)
string(TOUPPER "${WITH_ICU}" _orv_icu_mode)
if(NOT _orv_icu_mode MATCHES "^(AUTO|ON|OFF)$")
  message(FATAL_ERROR "WITH_ICU must be AUTO, ON or OFF, not '${WITH_ICU}'")
endif()

set(HT_WITH_ICU OFF)
if(NOT _orv_icu_mode STREQUAL "OFF")
  if(_orv_icu_mode STREQUAL "ON")
    find_package(ICU COMPONENTS uc data)
  else()
    find_package(ICU QUIET COMPONENTS uc data)
  endif()
  if(ICU_FOUND)
    set(HT_WITH_ICU ON)
  elseif(_orv_icu_mode STREQUAL "ON")
    message(FATAL_ERROR "WITH_ICU=ON but ICU (uc, data) was not found for this target; "
      "install it (natively: Debian libicu-dev) or configure with -DWITH_ICU=OFF")
  endif()
endif()

add_library(orv_icu INTERFACE)
add_library(orv::icu ALIAS orv_icu)
if(HT_WITH_ICU)
  # A program that sets the target property ORV_STATIC_ICU links ICU's static
  # archives where the system has them: formsift starts once per CGI request,
  # and resolving the shared ICU libraries costs it ten times its own start-up.
  find_library(ORV_ICU_UC_STATIC NAMES libicuuc.a)
  find_library(ORV_ICU_DATA_STATIC NAMES libicudata.a)
  mark_as_advanced(ORV_ICU_UC_STATIC ORV_ICU_DATA_STATIC)
  if(ORV_ICU_UC_STATIC AND ORV_ICU_DATA_STATIC)
    find_package(Threads REQUIRED)
    set(_orv_static_icu "$<BOOL:$<TARGET_PROPERTY:ORV_STATIC_ICU>>")
    target_link_libraries(orv_icu INTERFACE
      "$<${_orv_static_icu}:${ORV_ICU_UC_STATIC};${ORV_ICU_DATA_STATIC};${CMAKE_DL_LIBS};Threads::Threads>"
      "$<$<NOT:${_orv_static_icu}>:ICU::uc;ICU::data>")
    unset(_orv_static_icu)
  else()
    target_link_libraries(orv_icu INTERFACE ICU::uc ICU::data)
  endif()
  add_compile_definitions(HT_WITH_ICU=1)
  message(STATUS "ICU: yes (${ICU_VERSION}), WITH_ICU=${WITH_ICU}")
else()
  add_compile_definitions(HT_WITH_ICU=0)
  message(STATUS "ICU: no, WITH_ICU=${WITH_ICU}: catalogue lookups give their built-in defaults")
endif()
unset(_orv_icu_mode)
