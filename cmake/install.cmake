# Installation: the programs, their manual pages, the README and the bundled
# example; and the test that installs into a scratch prefix and runs what it
# installed.  Included at the end of the top-level CMakeLists.txt, after every
# program target exists.
include(GNUInstallDirs)

# Debian's name of the package, also the directory of its documentation.
set(PELKARO_DOCDIR "${CMAKE_INSTALL_DATAROOTDIR}/doc/pelkaro")

# The programs.  pelkaro-nxcansas and pelkaro-merge exist only where HDF5 was found; the
# simulator and the plotting script get the names of the other programs.
foreach(prog Pelkaro pelkaro-check pelkaro-nxcansas pelkaro-merge pelkaro-mask pelkaro-trans pelkaro-batch pelkaro-aniso pelkaro-flat)
  if(TARGET ${prog})
    install(TARGETS ${prog} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()
if(TARGET pelkaro_sim)
  install(PROGRAMS $<TARGET_FILE:pelkaro_sim> DESTINATION ${CMAKE_INSTALL_BINDIR} RENAME pelkaro-sim)
  # Copied as a file, so stripped here as install(TARGETS) strips the others
  # (cmake --install --strip, cpack).
  if(CMAKE_STRIP)
    install(CODE "if(CMAKE_INSTALL_DO_STRIP)
      execute_process(COMMAND \"${CMAKE_STRIP}\"
        \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/pelkaro-sim\")
    endif()")
  endif()
endif()
install(PROGRAMS ${CMAKE_SOURCE_DIR}/scripts/plot.sh DESTINATION ${CMAKE_INSTALL_BINDIR} RENAME pelkaro-plot)
# And in the build tree beside the programs, where pelkaro-batch --formats
# plot looks for it first (copied again whenever the script changes).
configure_file(${CMAKE_SOURCE_DIR}/scripts/plot.sh ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/pelkaro-plot COPYONLY
               FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# The manual pages, one per installed program, with the project's version
# put into the footer of the .TH line ("Pelkaro" in the source pages, which
# man -l shows as they are: "Pelkaro 0.9" here) and compressed as Debian's
# policy asks where gzip is found (man reads both).  Nothing else of a page
# is touched.
set(PK_MAN_PAGES Pelkaro pelkaro-check pelkaro-mask pelkaro-sim pelkaro-plot pelkaro-trans pelkaro-batch pelkaro-aniso pelkaro-flat)
if(TARGET pelkaro-nxcansas)
  list(APPEND PK_MAN_PAGES pelkaro-nxcansas)
endif()
if(TARGET pelkaro-merge)
  list(APPEND PK_MAN_PAGES pelkaro-merge)
endif()
find_program(PK_GZIP gzip)
set(PK_MAN_FILES)
foreach(page ${PK_MAN_PAGES})
  set(page_file ${CMAKE_BINARY_DIR}/man/${page}.1)
  set(page_source ${CMAKE_SOURCE_DIR}/man/${page}.1)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${page_source})
  file(READ ${page_source} page_text)
  string(REGEX REPLACE "^(\\.TH [^\n]*) \"Pelkaro\" " "\\1 \"Pelkaro ${PROJECT_VERSION}\" " page_text "${page_text}")
  if(NOT page_text MATCHES "^\\.TH [^\n]* \"Pelkaro ${PROJECT_VERSION}\" ")
    message(FATAL_ERROR "man/${page}.1 does not begin with .TH NAME 1 DATE \"Pelkaro\" \"User Commands\"")
  endif()
  file(CONFIGURE OUTPUT ${page_file} CONTENT "${page_text}" @ONLY)
  if(PK_GZIP)
    add_custom_command(OUTPUT ${page_file}.gz
      COMMAND ${PK_GZIP} -9 -n -f -k ${page_file}
      DEPENDS ${page_file}
      COMMENT "Compressing the manual page ${page}(1)"
      VERBATIM)
    list(APPEND PK_MAN_FILES ${page_file}.gz)
  else()
    list(APPEND PK_MAN_FILES ${page_file})
  endif()
endforeach()
add_custom_target(pelkaro_man ALL DEPENDS ${PK_MAN_FILES})
install(FILES ${PK_MAN_FILES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# The README and the example (its data and parameter files, not what a
# reduction run in the source tree may have left there).
install(FILES ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/ARCHITECTURE.md DESTINATION ${PELKARO_DOCDIR})
install(DIRECTORY ${CMAKE_SOURCE_DIR}/docs/ DESTINATION ${PELKARO_DOCDIR}/docs)
# The licence, as Debian's policy places it: /usr/share/doc/pelkaro/copyright.
configure_file(${CMAKE_SOURCE_DIR}/cmake/debian/copyright.in ${CMAKE_BINARY_DIR}/copyright @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/copyright DESTINATION ${PELKARO_DOCDIR})
install(DIRECTORY ${CMAKE_SOURCE_DIR}/examples/ DESTINATION ${PELKARO_DOCDIR}/examples
  FILES_MATCHING PATTERN "*.par" PATTERN "*.dat" PATTERN "*.mask" PATTERN "*.py")

# The Python package, where it was built: the extension, its Python files and
# stubs, in the module directory of the prefix (PELKARO_PYTHON_INSTALL_DIR,
# lib/python3/dist-packages for Debian's python3).
if(TARGET pelkaro_python)
  get_target_property(pk_py_files pelkaro_python PK_FILES)
  install(TARGETS pelkaro_python LIBRARY DESTINATION ${PELKARO_PYTHON_INSTALL_DIR}/pelkaro)
  foreach(f ${pk_py_files})
    install(FILES ${CMAKE_SOURCE_DIR}/apps/python/pelkaro/${f} DESTINATION ${PELKARO_PYTHON_INSTALL_DIR}/pelkaro)
  endforeach()
endif()

# The installation test: installs this build into a scratch prefix and runs
# the installed programs on the installed example.
if(PELKARO_TESTS)
  add_test(NAME Install.ScratchPrefixRunsTheExample
    COMMAND bash ${CMAKE_SOURCE_DIR}/tests/install/test_install.sh ${CMAKE_COMMAND} ${CMAKE_BINARY_DIR}
            ${CMAKE_SOURCE_DIR} ${PROJECT_VERSION} $<TARGET_EXISTS:pelkaro-nxcansas>
            "$<$<TARGET_EXISTS:pelkaro_python>:$<TARGET_PROPERTY:pelkaro_python,PK_INTERPRETER>>"
            "${PELKARO_PYTHON_INSTALL_DIR}")
  set_tests_properties(Install.ScratchPrefixRunsTheExample PROPERTIES TIMEOUT 300)
endif()
include(${CMAKE_CURRENT_LIST_DIR}/package.cmake)
