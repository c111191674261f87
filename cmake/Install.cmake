# What `cmake --install` puts where, and the Debian package CPack builds from it
# (scripts/package.sh).
include(GNUInstallDirs)

# udev reads package rules from /usr/lib/udev/rules.d; an install under
# /usr/local wants /etc/udev/rules.d instead (or scripts/install-udev-rule.sh).
set(QUILLON_UDEV_RULES_DIR "lib/udev/rules.d" CACHE STRING
    "Where the udev rule goes (relative to the install prefix, or absolute)")

install(TARGETS quillon quillon-sim quillon-mkimage RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/resources/udev/60-quillon.rules DESTINATION ${QUILLON_UDEV_RULES_DIR})
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES ${PROJECT_SOURCE_DIR}/sim/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR} RENAME simulator.md)

# Who answers for the package; a station's own build can name its own contact.
set(QUILLON_PACKAGE_CONTACT "Quillon maintainers <maintainers@quillon.example.org>" CACHE STRING
    "Maintainer of the Debian package (name <mail>)")
# Debian wants the copyright file and a compressed changelog beside the
# documentation (changelog.gz: the version carries no Debian revision).
install(FILES ${PROJECT_SOURCE_DIR}/cmake/debian/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
string(TIMESTAMP quillon_changelog_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
set(changelog ${PROJECT_BINARY_DIR}/debian/changelog)
configure_file(${PROJECT_SOURCE_DIR}/cmake/debian/changelog.in ${changelog} @ONLY)
add_custom_command(
  OUTPUT ${changelog}.gz
  COMMAND gzip -9 -n -c ${changelog} > ${changelog}.gz
  DEPENDS ${changelog}
  COMMENT "Compressing the package changelog")
add_custom_target(quillon_changelog ALL DEPENDS ${changelog}.gz)
install(FILES ${changelog}.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})

# Man pages, compressed as Debian keeps them.
set(man_pages "")
foreach(page quillon quillon-sim quillon-mkimage)
  set(source ${PROJECT_SOURCE_DIR}/docs/man/${page}.1)
  set(packed ${PROJECT_BINARY_DIR}/man/${page}.1.gz)
  add_custom_command(
    OUTPUT ${packed}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
    COMMAND gzip -9 -n -c ${source} > ${packed}
    DEPENDS ${source}
    COMMENT "Compressing the man page ${page}.1")
  list(APPEND man_pages ${packed})
endforeach()
add_custom_target(quillon_man_pages ALL DEPENDS ${man_pages})
install(FILES ${man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

set(CPACK_PACKAGE_NAME quillon)
set(CPACK_PACKAGE_VENDOR "Quillon")
set(CPACK_PACKAGE_CONTACT "${QUILLON_PACKAGE_CONTACT}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "production-line firmware programmer for USB audio-codec and camera chips")
# Lines of at most 80 characters, as Debian's control files want them.
string(CONCAT CPACK_PACKAGE_DESCRIPTION
  "Quillon writes, verifies, erases and dumps the code memory of USB audio-codec\n"
  "and USB camera chips over their USB connection, from an operator's window or a\n"
  "scripted batch mode that leaves result files and JSON run records for line\n"
  "systems. Includes the chip simulator quillon-sim and the image maker\n"
  "quillon-mkimage.")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_INSTALL_DIRECTORY quillon)
set(CPACK_GENERATOR DEB)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# What the programs link against (scripts/check-package.sh checks the list
# against the built binaries); the window adds Qt and ALSA.
set(quillon_depends "libc6 (>= 2.34), libgcc-s1, libstdc++6 (>= 12), libusb-1.0-0 (>= 2:1.0.16), libsqlite3-0 (>= 3.7.15), libpq5")
if(QUILLON_GUI AND EXISTS ${PROJECT_SOURCE_DIR}/src/ui/CMakeLists.txt)
  string(APPEND quillon_depends ", libqt6core6, libqt6gui6, libqt6widgets6, libasound2")
endif()
set(CPACK_DEBIAN_PACKAGE_DEPENDS "${quillon_depends}")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "udev")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/cmake/debian/postinst ${PROJECT_SOURCE_DIR}/cmake/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/package)
set(CPACK_SET_DESTDIR OFF)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
include(CPack)
