# What users install: Debian 12 packages on Linux, a ZIP on Windows, both made by CPack from
# what the install() rules install, each rule naming its component:
#
#   cmake --build build --target package        # build/*.deb (build-mingw64/*.zip)
#
# A Debian package is one component, or several, with the files of its doc directory added:
#   runtime      libtorvek-attenuator1         the shared library
#   development  libtorvek-attenuator-dev      headers, CMake package, pkg-config file, .so link
#   tools        torvek-attenuator-tools       attenuatorctl, attenuator-sim, their man pages
#   python       python3-torvek-attenuator     the Python package
#   tango        torvek-attenuator-tango       the Tango device server, once something installs
#                                              files with COMPONENT tango (see the end)
#   gui          torvek-attenuator-gui         the window attenuator-gui, likewise

set(CPACK_PACKAGE_NAME torvek-attenuator)
set(CPACK_PACKAGE_VENDOR "torvek-attenuator developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR})
set(CPACK_STRIP_FILES ON)
set(CPACK_VERBATIM_VARIABLES ON)

if(WIN32)
  # One ZIP with the DLL, its import library, the headers, the CMake package and attenuatorctl.exe
  # (linked statically, they need no other DLL), and the README at its top.
  install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION . COMPONENT documentation)
  if(EXISTS ${PROJECT_SOURCE_DIR}/LICENSE)
    install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION . COMPONENT documentation)
  endif()
  set(CPACK_GENERATOR ZIP)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(CPACK_PACKAGE_FILE_NAME torvek-attenuator-${PROJECT_VERSION}-win64)
  else()
    set(CPACK_PACKAGE_FILE_NAME torvek-attenuator-${PROJECT_VERSION}-win32)
  endif()
  # Only these components, all in the one archive (a monolithic archive would take every
  # component, the Python package too).
  set(CPACK_COMPONENTS_ALL runtime development tools documentation)
  set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
  set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY ON)
  include(CPack)
  return()
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
# Installed to /usr whatever the tree was configured for; with DESTDIR, so that the install
# step sees the prefix /usr and writes the files that name it (pkg-config, the Python layout)
# for /usr.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(TORVEK_DEB_MAINTAINER "torvek-attenuator developers <attenuator@torvek.invalid>" CACHE STRING
    "Maintainer field of the Debian packages")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${TORVEK_DEB_MAINTAINER}")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Dependencies on the system's libraries come from dpkg-shlibdeps, the ones between our packages
# from the components' DEPENDS (an exact version: they are built together).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
# The tools need libtorvek_attenuator.so.1, which dpkg-shlibdeps finds here.
get_target_property(library_dir torvek_attenuator BINARY_DIR)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${library_dir})

# The Debian revision comes from the changelog's latest entry, whose upstream part must be this
# project's version.
set(debian_dir ${PROJECT_SOURCE_DIR}/packaging/debian)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${debian_dir}/changelog)
file(STRINGS ${debian_dir}/changelog latest LIMIT_COUNT 1)
if(latest MATCHES "^torvek-attenuator \\(([^)-]+)-([^)]+)\\)")
  set(CPACK_DEBIAN_PACKAGE_RELEASE ${CMAKE_MATCH_2})
  if(NOT CMAKE_MATCH_1 STREQUAL PROJECT_VERSION)
    message(WARNING "packaging/debian/changelog: the latest entry is for ${CMAKE_MATCH_1}, the "
                    "project is ${PROJECT_VERSION}; add an entry before making packages")
  endif()
else()
  message(FATAL_ERROR "packaging/debian/changelog: the first line is not "
                      "'torvek-attenuator (VERSION-REVISION) ...'")
endif()
set(changelog_gz ${PROJECT_BINARY_DIR}/packaging/changelog.Debian.gz)
add_custom_command(OUTPUT ${changelog_gz}
  COMMAND gzip -9n -c ${debian_dir}/changelog > ${changelog_gz}
  DEPENDS ${debian_dir}/changelog
  COMMENT "Compressing the Debian changelog")
add_custom_target(debian-changelog ALL DEPENDS ${changelog_gz})

set(torvek_deb_components)

# torvek_deb_package(COMPONENT PACKAGE SECTION section SUMMARY line DESCRIPTION text
#                    [ARCHITECTURE all] [PYTHON] [CONTROL_EXTRA file...]
#                    [COMPONENT_DEPENDS component...] [DEPENDS "debian-package ..."...]
#                    [RECOMMENDS "debian-package ..."...])
# Makes the files installed with COMPONENT into the Debian package PACKAGE, with the changelog
# and copyright file in its doc directory. PYTHON: it holds Python modules, which are
# byte-compiled when installed and whose compiled files are removed with it.
function(torvek_deb_package component package)
  cmake_parse_arguments(PARSE_ARGV 2 arg "PYTHON"
    "SECTION;SUMMARY;DESCRIPTION;ARCHITECTURE" "COMPONENT_DEPENDS;DEPENDS;RECOMMENDS;CONTROL_EXTRA")
  string(TOUPPER ${component} c)
  set(CPACK_DEBIAN_${c}_PACKAGE_NAME ${package} PARENT_SCOPE)
  set(CPACK_DEBIAN_${c}_PACKAGE_SECTION ${arg_SECTION} PARENT_SCOPE)
  # The synopsis line, then the extended description (CPack indents it). CPack would put
  # CPACK_PACKAGE_DESCRIPTION_SUMMARY before it, so that one stays unset.
  set(CPACK_DEBIAN_${c}_DESCRIPTION "${arg_SUMMARY}\n${arg_DESCRIPTION}" PARENT_SCOPE)
  set(CPACK_COMPONENT_${c}_DEPENDS ${arg_COMPONENT_DEPENDS} PARENT_SCOPE)
  if(arg_DEPENDS)
    list(JOIN arg_DEPENDS ", " depends)
    set(CPACK_DEBIAN_${c}_PACKAGE_DEPENDS "${depends}" PARENT_SCOPE)
  endif()
  if(arg_RECOMMENDS)
    list(JOIN arg_RECOMMENDS ", " recommends)
    set(CPACK_DEBIAN_${c}_PACKAGE_RECOMMENDS "${recommends}" PARENT_SCOPE)
  endif()
  if(arg_ARCHITECTURE)
    set(CPACK_DEBIAN_${c}_PACKAGE_ARCHITECTURE ${arg_ARCHITECTURE} PARENT_SCOPE)
  endif()
  set(scripts ${arg_CONTROL_EXTRA})
  if(arg_PYTHON)
    foreach(script IN ITEMS postinst prerm)
      configure_file(${debian_dir}/python-${script}.in
        ${PROJECT_BINARY_DIR}/packaging/${package}/${script} @ONLY
        FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                         WORLD_READ WORLD_EXECUTE)
      list(APPEND scripts ${PROJECT_BINARY_DIR}/packaging/${package}/${script})
    endforeach()
  endif()
  set(CPACK_DEBIAN_${c}_PACKAGE_CONTROL_EXTRA ${scripts} PARENT_SCOPE)
  # Only in the package: a source install to /usr/local has no use for them.
  install(FILES ${debian_dir}/copyright ${changelog_gz}
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component} EXCLUDE_FROM_ALL)
  set(torvek_deb_components ${torvek_deb_components} ${component} PARENT_SCOPE)
endfunction()

set(about [[
The attenuator is a rotation mount that turns an element whose transmittance
follows sin^2 of the angle, driven by an ASCII protocol at 9600 baud. Every
call returns a status, every wait is bounded by its time-out, and calls are
thread-safe.]])

# The shared library: a shlibs file, for the packages that link it, and the loader's cache
# renewed by dpkg's ldconfig trigger. (CPack 3.25 also calls ldconfig from postinst and postrm
# for any library under /usr/lib, which the trigger makes redundant but does no harm.)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
torvek_deb_package(runtime libtorvek-attenuator1
  SECTION libs CONTROL_EXTRA ${debian_dir}/triggers
  SUMMARY "driver library for a motorised optical attenuator"
  DESCRIPTION "${about}\n.\nThis package holds the shared library (C++ class and C interface).")

torvek_deb_package(development libtorvek-attenuator-dev
  SECTION libdevel COMPONENT_DEPENDS runtime
  SUMMARY "driver library for a motorised optical attenuator - development files"
  DESCRIPTION "${about}\n.\nThis package holds the headers, the CMake package\n(find_package(TorvekAttenuator), target Torvek::Attenuator) and the\npkg-config file (torvek-attenuator).")

torvek_deb_package(tools torvek-attenuator-tools
  SECTION utils COMPONENT_DEPENDS runtime
  SUMMARY "command-line tool and simulator for a motorised optical attenuator"
  DESCRIPTION "${about}\n.\nattenuatorctl runs every operation from the shell (JSON output for scripts);\nattenuator-sim plays the device on a pseudo-terminal, with injected faults,\nfor developing host programs without the hardware.")

torvek_deb_package(python python3-torvek-attenuator
  SECTION python ARCHITECTURE all PYTHON COMPONENT_DEPENDS runtime DEPENDS "python3:any"
  SUMMARY "Python interface to a motorised optical attenuator"
  DESCRIPTION "${about}\n.\nThis package holds the Python 3 module torvek_attenuator (ctypes over the\nlibrary's C interface).")

# The Tango device server: whatever is installed with COMPONENT tango becomes its package, e.g.
#   install(PROGRAMS attenuator-tango DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tango)
#   torvek_install_python_package(torvek_attenuator_tango COMPONENT tango FILES ...)
#   torvek_man_page(attenuator-tango "..." PROGRAM <the script> COMPONENT tango)
# (torvek_install_python_package is in python/CMakeLists.txt, torvek_man_page in
# cmake/ManPage.cmake).
get_cmake_property(installed_components COMPONENTS)
if(tango IN_LIST installed_components)
  torvek_deb_package(tango torvek-attenuator-tango
    SECTION science ARCHITECTURE all PYTHON COMPONENT_DEPENDS python
    DEPENDS "python3:any" "python3-tango"
    SUMMARY "Tango device server for a motorised optical attenuator"
    DESCRIPTION "${about}\n.\nattenuator-tango serves the attenuator as a Tango device.")
endif()
# The window (tools/gui), the same way. The calibration's fit needs numpy, scipy and tqdm, its
# plots pyqtgraph; the tools bring the simulated device and the probe.
if(gui IN_LIST installed_components)
  torvek_deb_package(gui torvek-attenuator-gui
    SECTION science ARCHITECTURE all PYTHON COMPONENT_DEPENDS python
    DEPENDS "python3:any" "python3-pyqt5" "python3-pyqtgraph" "python3-numpy" "python3-scipy"
            "python3-tqdm"
    RECOMMENDS "torvek-attenuator-tools"
    SUMMARY "window for a motorised optical attenuator"
    DESCRIPTION "${about}\n.\nattenuator-gui is a window for a lab without a control system: connect (a\nserial port, or a simulated device), see the position and transmittance, move\nand stop the mount, calibrate the transmittance model with a power meter,\nand watch the commands and replies on the line.")
endif()

# Every file installed must land in a package: a rule without its component shows up here.
foreach(component IN LISTS installed_components)
  if(NOT component IN_LIST torvek_deb_components)
    message(FATAL_ERROR "Files are installed with COMPONENT ${component}, which is in no Debian "
                        "package: name a component of cmake/Packaging.cmake in the install() rule")
  endif()
endforeach()
set(CPACK_COMPONENTS_ALL ${torvek_deb_components})
include(CPack)
