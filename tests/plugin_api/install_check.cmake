# Installs the "plugrt" component under a private prefix, compiles a C
# plug-in against the installed header with the flags pkg-config gives, and
# has a host program load the installed library and the plug-in.
# Run with -DBUILD_DIR -DPREFIX -DLIBDIR -DCC -DREADELF -DPLUGIN_SOURCE
# -DRUNNER [-DEMULATOR] -P.
file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND ${CMAKE_COMMAND} --install "${BUILD_DIR}" --component plugrt
                        --prefix "${PREFIX}"
                RESULT_VARIABLE rc OUTPUT_QUIET)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${rc}")
endif()
set(lib "${PREFIX}/${LIBDIR}")
foreach(f "${lib}/libplugrt.so.1.0.0" "${lib}/libplugrt.so.1" "${lib}/libplugrt.so"
          "${lib}/pkgconfig/plugrt.pc" "${PREFIX}/include/plugrt/plugrt.h"
          "${PREFIX}/include/plugrt/plugrt_codes.h" "${PREFIX}/include/plugrt/plugrt_host.h")
  if(NOT EXISTS "${f}")
    message(FATAL_ERROR "not installed: ${f}")
  endif()
endforeach()
foreach(link libplugrt.so libplugrt.so.1)
  if(NOT IS_SYMLINK "${lib}/${link}")
    message(FATAL_ERROR "${link} is not a link")
  endif()
endforeach()

# pkg-config finds the tree from the .pc file's place.
execute_process(COMMAND ${CMAKE_COMMAND} -E env "PKG_CONFIG_LIBDIR=${lib}/pkgconfig"
                        PKG_CONFIG_PATH= PKG_CONFIG_SYSROOT_DIR= pkg-config --cflags --libs plugrt
                OUTPUT_VARIABLE flags RESULT_VARIABLE rc OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "pkg-config plugrt failed")
endif()
separate_arguments(flags UNIX_COMMAND "${flags}")
set(plugin "${PREFIX}/installed_plugin.so")
execute_process(COMMAND ${CC} -std=c99 -pedantic -Wall -Wextra -Werror -fPIC -shared
                        -o "${plugin}" "${PLUGIN_SOURCE}" ${flags}
                RESULT_VARIABLE rc ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "the plug-in does not build against the installed header: ${err}")
endif()
execute_process(COMMAND ${READELF} -d "${plugin}" OUTPUT_VARIABLE dyn)
if(NOT dyn MATCHES "NEEDED[^\n]*\\[libplugrt\\.so\\.1\\]")
  message(FATAL_ERROR "the plug-in does not need libplugrt.so.1:\n${dyn}")
endif()

execute_process(COMMAND ${CMAKE_COMMAND} -E env "ORVHOST_PLUGRT=${lib}/libplugrt.so.1"
                        ${EMULATOR} "${RUNNER}" "${plugin}"
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "the installed library and plug-in did not run: ${out}")
endif()
message(STATUS "${out}")
file(REMOVE_RECURSE "${PREFIX}")
