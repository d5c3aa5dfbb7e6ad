# CPack: a .deb on Linux, a .zip on Windows; both hold what the install rules install.
set(CPACK_PACKAGE_NAME tallier)
set(CPACK_PACKAGE_VENDOR "Tallier developers")
# The project has no mail address; a distributor who packs Tallier names their own contact.
set(TALLIER_PACKAGE_CONTACT "Tallier developers" CACHE STRING "Maintainer named in the packages")
set(CPACK_PACKAGE_CONTACT "${TALLIER_PACKAGE_CONTACT}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "advance a build counter held in a #define of a header")
# Debian shows each line of the description as it is: none may pass 80 columns.
set(CPACK_PACKAGE_DESCRIPTION "\
Tallier raises the number in a #define of a header, such as BuildCount in
Version.h, keeps the previous header as a backup and prints the new value.
It never leaves a partial header behind and serialises parallel runs.
It comes with a CMake package whose tallier_build_counter() advances the
counter on every build of a target.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION devel)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
  # Everything that cmake --install installs, and the .deb's own files.
  set(CPACK_INSTALL_CMAKE_PROJECTS
    "${PROJECT_BINARY_DIR};Tallier;ALL;/" "${PROJECT_BINARY_DIR};Tallier;deb;/")
  # The tool is linked statically and needs no package. A dynamic one needs the libc and
  # libstdc++ versions that dpkg-shlibdeps (from dpkg-dev) finds, or at least those libraries.
  if(NOT (TALLIER_STATIC AND TALLIER_LINKS_STATIC))
    find_program(TALLIER_DPKG_SHLIBDEPS dpkg-shlibdeps)
    if(TALLIER_DPKG_SHLIBDEPS)
      set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
    else()
      set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1")
    endif()
  endif()
endif()

include(CPack)
