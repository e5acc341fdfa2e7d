# Installs a build into a fresh prefix and checks that every installed file is there.
file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${PREFIX}"
                RESULT_VARIABLE rc OUTPUT_QUIET)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${rc}")
endif()
include(GNUInstallDirs)
foreach(f
    bin/qev-tool
    bin/qev-pack
    bin/qev-unpack
    bin/qev-check
    ${CMAKE_INSTALL_MANDIR}/man1/qev-check.1
    ${CMAKE_INSTALL_DATADIR}/bash-completion/completions/qev-check
    ${CMAKE_INSTALL_MANDIR}/man1/qev-unpack.1
    ${CMAKE_INSTALL_DATADIR}/bash-completion/completions/qev-unpack
    ${CMAKE_INSTALL_MANDIR}/man1/qev-tool.1
    ${CMAKE_INSTALL_MANDIR}/man1/qev-pack.1
    ${CMAKE_INSTALL_DATADIR}/bash-completion/completions/qev-tool
    ${CMAKE_INSTALL_DATADIR}/bash-completion/completions/qev-pack
    ${EXTRA})
  if(NOT EXISTS "${PREFIX}/${f}")
    message(FATAL_ERROR "not installed: ${f}")
  endif()
endforeach()
execute_process(COMMAND "${PREFIX}/bin/qev-tool" RESULT_VARIABLE rc OUTPUT_VARIABLE usage)
if(NOT rc EQUAL 1 OR NOT usage MATCHES "^QEV Tool - QEV Reader\n")
  message(FATAL_ERROR "the installed qev-tool does not run: ${rc}")
endif()
