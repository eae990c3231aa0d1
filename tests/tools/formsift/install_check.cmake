# Installs the build into a private prefix and checks that formsift and its
# manual page are there. Run with -DBUILD_DIR=... -DPREFIX=... -P.
file(REMOVE_RECURSE "${PREFIX}")
# Only this component: others may install to fixed system paths.
execute_process(COMMAND ${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix "${PREFIX}" --component formsift
                RESULT_VARIABLE rc OUTPUT_QUIET)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${rc}")
endif()
foreach(f bin/formsift share/man/man1/formsift.1)
  if(NOT EXISTS "${PREFIX}/${f}")
    message(FATAL_ERROR "not installed: ${f}")
  endif()
endforeach()
file(READ "${PREFIX}/share/man/man1/formsift.1" page)
if(NOT page MATCHES "^\\.TH FORMSIFT 1")
  message(FATAL_ERROR "formsift.1 is not a manual page")
endif()
file(REMOVE_RECURSE "${PREFIX}")
