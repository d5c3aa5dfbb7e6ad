# Install rules and the CMake package: bin/tallier, the man page, and lib/cmake/Tallier so
# that find_package(Tallier) gives Tallier::tallier and tallier_build_counter().
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# Not CMAKE_INSTALL_LIBDIR: with the /usr prefix Debian's multiarch directory would take
# its place, and the package holds no library that depends on the architecture.
set(TALLIER_INSTALL_CMAKEDIR lib/cmake/Tallier CACHE STRING
  "Where to install Tallier's CMake package, relative to the prefix")

install(TARGETS tallier EXPORT TallierTargets RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES man/tallier.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

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
  DESTINATION ${TALLIER_INSTALL_CMAKEDIR})
