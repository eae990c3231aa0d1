# Installs the smuxbridge component into a private prefix and checks the
# program, its manual page and its systemd unit. Run with -DBUILD_DIR=...
# -DPREFIX=... -P.
file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND ${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix "${PREFIX}" --component smuxbridge
                RESULT_VARIABLE rc OUTPUT_QUIET)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${rc}")
endif()
foreach(f sbin/smuxbridge share/man/man8/smuxbridge.8 lib/systemd/system/smuxbridge.service)
  if(NOT EXISTS "${PREFIX}/${f}")
    message(FATAL_ERROR "not installed: ${f}")
  endif()
endforeach()
file(READ "${PREFIX}/share/man/man8/smuxbridge.8" page)
if(NOT page MATCHES "^\\.TH SMUXBRIDGE 8")
  message(FATAL_ERROR "smuxbridge.8 is not a manual page")
endif()
file(READ "${PREFIX}/lib/systemd/system/smuxbridge.service" unit)
if(NOT unit MATCHES "ExecStart=/[^\n]*/smuxbridge\n")
  message(FATAL_ERROR "the unit does not start smuxbridge")
endif()
file(REMOVE_RECURSE "${PREFIX}")
