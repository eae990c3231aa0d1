# Installs the "catalogue" component under a private DESTDIR (never into the
# real catalogue directory) and checks both locales of "orvaneproxy" are
# there. Run with -DBUILD_DIR=... -DDEST=... -DCATALOG_DIR=... -P.
file(REMOVE_RECURSE "${DEST}")
execute_process(COMMAND ${CMAKE_COMMAND} -E env DESTDIR=${DEST}
                        ${CMAKE_COMMAND} --install "${BUILD_DIR}" --component catalogue
                RESULT_VARIABLE rc OUTPUT_QUIET)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${rc}")
endif()
foreach(loc en de)
  set(f "${DEST}${CATALOG_DIR}/orvaneproxy/${loc}.res")
  if(NOT EXISTS "${f}")
    message(FATAL_ERROR "not installed: ${f}")
  endif()
endforeach()
file(REMOVE_RECURSE "${DEST}")
