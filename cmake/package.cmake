# The Debian package (cpack -G DEB): what `cmake --install` installs, under
# /usr, with the libraries it links against and the plotting script's gnuplot
# declared.
set(CPACK_PACKAGE_NAME pelkaro)
set(CPACK_PACKAGE_VENDOR "Pelkaro maintainers")
set(PELKARO_PACKAGE_CONTACT "Pelkaro maintainers <maintainers@users.noreply.c-seed-3c71e44d.example>"
    CACHE STRING "Maintainer of the Debian package (name <address>)")
set(CPACK_PACKAGE_CONTACT "${PELKARO_PACKAGE_CONTACT}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "small-angle neutron scattering data reduction for 128x128 area detectors")
set(CPACK_PACKAGE_DESCRIPTION
"Pelkaro reduces small-angle neutron scattering (SANS) measurements recorded
with a 128 x 128 pixel area detector: from the raw detector images of a
sample, its buffer, the dark current and a flat field, as named in a
hand-written parameter file, it computes the absolute scattered intensity as
a corrected 2D image and an azimuthally averaged curve I(Q) with
uncertainties and Q resolution.
.
Companion programs: pelkaro-check finds the mistakes of a parameter file and
its data before a run, pelkaro-mask makes mask files from rules,
pelkaro-nxcansas writes a reduction as an NXcanSAS (HDF5) file, pelkaro-sim
simulates measurements at any geometry, and pelkaro-plot draws the results
with gnuplot.  The Python module pelkaro reduces into numpy arrays for
notebooks and scripts.  A complete simulated example is included.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# pelkaro-plot draws with gnuplot; everything else runs without it.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "gnuplot-nox | gnuplot")

# The shared libraries the programs link against (the C++ runtime, and HDF5
# for pelkaro-nxcansas): found by dpkg-shlibdeps (package dpkg-dev), which
# also needs `file`.  Without them, named by hand from the packages that
# hold the libraries on this system.
find_program(PK_DPKG_SHLIBDEPS dpkg-shlibdeps)
find_program(PK_FILE file)
if(PK_DPKG_SHLIBDEPS AND PK_FILE)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(pk_depends "libc6, libstdc++6, libgcc-s1")
  find_program(PK_DPKG_QUERY dpkg-query)
  if(TARGET pelkaro-nxcansas AND PK_DPKG_QUERY)
    foreach(lib ${HDF5_C_LIBRARIES})
      if(lib MATCHES "libhdf5[^/]*\\.so")
        file(REAL_PATH "${lib}" real)
        execute_process(COMMAND ${PK_DPKG_QUERY} -S "${real}" OUTPUT_VARIABLE owner
                        RESULT_VARIABLE rc ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
        if(rc EQUAL 0 AND owner MATCHES "^([^:,]+)")
          string(APPEND pk_depends ", ${CMAKE_MATCH_1}")
        endif()
      endif()
    endforeach()
  endif()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "${pk_depends}")
  message(STATUS "dpkg-shlibdeps or file not found: the Debian package declares ${pk_depends}")
endif()

# The Python module runs in the interpreter it was built for, with numpy;
# sasmodels fits what it reduces.
if(TARGET pelkaro_python)
  get_target_property(pk_py_version pelkaro_python PK_PYTHON_VERSION)
  string(REGEX REPLACE "^([0-9]+)\\.([0-9]+)$" "\\2" pk_py_minor "${pk_py_version}")
  math(EXPR pk_py_next "${pk_py_minor} + 1")
  string(REGEX REPLACE "\\.[0-9]+$" ".${pk_py_next}" pk_py_next_version "${pk_py_version}")
  set(pk_py_depends "python3 (>= ${pk_py_version}), python3 (<< ${pk_py_next_version}), python3-numpy")
  if(CPACK_DEBIAN_PACKAGE_DEPENDS)
    string(APPEND CPACK_DEBIAN_PACKAGE_DEPENDS ", ${pk_py_depends}")
  else()
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "${pk_py_depends}")
  endif()
  set(CPACK_DEBIAN_PACKAGE_SUGGESTS "python3-sasmodels, python3-scipy")
endif()

set(CPACK_GENERATOR DEB)
include(CPack)
