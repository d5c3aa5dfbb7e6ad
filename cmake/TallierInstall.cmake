# Install rules and the CMake package: bin/tallier, the man page, and lib/cmake/Tallier so
# that find_package(Tallier) gives Tallier::tallier and tallier_build_counter().
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# Not CMAKE_INSTALL_LIBDIR: with the /usr prefix Debian's multiarch directory would take
# its place, and the package holds no library that depends on the architecture.
set(TALLIER_INSTALL_CMAKEDIR lib/cmake/Tallier CACHE STRING
  "Where to install Tallier's CMake package, relative to the prefix")

install(TARGETS tallier EXPORT TallierTargets RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

set(TALLIER_INSTALL_DOCDIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/tallier)
if(WIN32)
  # Windows has no man: the page also comes as plain text with Windows line ends, at the top
  # of the installation, beside bin. groff is rare on Windows itself, where MSVC builds.
  find_program(TALLIER_GROFF groff)
  if(TALLIER_GROFF)
    execute_process(COMMAND ${TALLIER_GROFF} -man -Tascii -P-cbou ${CMAKE_CURRENT_BINARY_DIR}/tallier.1
      OUTPUT_VARIABLE page RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
      message(FATAL_ERROR "groff ${CMAKE_CURRENT_BINARY_DIR}/tallier.1: ${status}")
    endif()
    string(REPLACE "\n" "\r\n" page "${page}")
    file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/tallier.txt "${page}")
    install(FILES ${CMAKE_CURRENT_BINARY_DIR}/tallier.txt DESTINATION .)
  else()
    message(WARNING "No groff (Debian: groff-base): the man page is installed without tallier.txt, "
      "its text for Windows")
  endif()
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/tallier.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES LICENSE CHANGELOG.md DESTINATION ${TALLIER_INSTALL_DOCDIR})
else()
  # Debian's layout: man page and changelog gzipped without a time stamp, so that the same
  # sources give the same package; the license as the copyright file; and, in the .deb
  # alone (its own component, which CPack adds), the reasons for the checker's findings that
  # are kept on purpose.
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS CHANGELOG.md)
  foreach(file ${CMAKE_CURRENT_BINARY_DIR}/tallier.1 ${CMAKE_CURRENT_SOURCE_DIR}/CHANGELOG.md)
    cmake_path(GET file FILENAME name)
    execute_process(COMMAND gzip -9nc ${file} OUTPUT_FILE ${CMAKE_CURRENT_BINARY_DIR}/${name}.gz
      RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
      message(FATAL_ERROR "gzip ${file}: ${status}")
    endif()
  endforeach()
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/tallier.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/CHANGELOG.md.gz DESTINATION ${TALLIER_INSTALL_DOCDIR}
    RENAME changelog.gz)
  install(FILES LICENSE DESTINATION ${TALLIER_INSTALL_DOCDIR} RENAME copyright)
  install(FILES cmake/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides
    RENAME tallier COMPONENT deb EXCLUDE_FROM_ALL)
endif()

install(EXPORT TallierTargets NAMESPACE Tallier:: DESTINATION ${TALLIER_INSTALL_CMAKEDIR})
configure_package_config_file(cmake/TallierConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/TallierConfig.cmake
  INSTALL_DESTINATION ${TALLIER_INSTALL_CMAKEDIR})
# A consumer runs the tool and links nothing of it, so a 32-bit project may use a 64-bit
# tool and the other way round.
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/TallierConfigVersion.cmake
  COMPATIBILITY SameMajorVersion ARCH_INDEPENDENT)
install(FILES
  ${CMAKE_CURRENT_BINARY_DIR}/TallierConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/TallierConfigVersion.cmake
  cmake/TallierFunctions.cmake
  cmake/TallierAdvance.cmake
  DESTINATION ${TALLIER_INSTALL_CMAKEDIR})
