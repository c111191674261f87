# What `cmake --install` puts where, and the Debian packages CPack builds from
# it (scripts/package.sh): "quillon" holds the command-line programs and needs
# no window toolkit; "quillon-window" adds the operator's window on top of it.
include(GNUInstallDirs)
set(QUILLON_HAS_WINDOW_PROGRAM OFF)
if(TARGET quillon-window)
  set(QUILLON_HAS_WINDOW_PROGRAM ON)
endif()

# udev reads package rules from /usr/lib/udev/rules.d; an install under
# /usr/local wants /etc/udev/rules.d instead (or scripts/install-udev-rule.sh).
set(QUILLON_UDEV_RULES_DIR "lib/udev/rules.d" CACHE STRING
    "Where the udev rule goes (relative to the install prefix, or absolute)")

install(TARGETS quillon quillon-sim quillon-mkimage RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT cli)
if(QUILLON_HAS_WINDOW_PROGRAM)
  install(TARGETS quillon-window RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT window)
endif()
# The rule says how it came to the station, so that whoever finds it knows
# whether a package owns it: one copy for the package (only packages take
# component-wise installs of "cli"), one for an install from the build.
set(quillon_rule_source ${PROJECT_SOURCE_DIR}/resources/udev/60-quillon.rules)
set(quillon_rule_how "# Installed from the Quillon sources by scripts/install-udev-rule.sh.")
file(READ ${quillon_rule_source} quillon_rule)
string(FIND "${quillon_rule}" "${quillon_rule_how}" quillon_rule_at)
if(quillon_rule_at LESS 0)
  message(FATAL_ERROR "${quillon_rule_source} does not say how it was installed")
endif()
foreach(kind package install)
  if(kind STREQUAL "package")
    set(how "# Installed by the Debian package quillon ${PROJECT_VERSION}; an upgrade replaces it, so local\n# changes go into /etc/udev/rules.d/60-quillon.rules, which takes its place.")
  else()
    set(how "# Installed by cmake --install from the Quillon ${PROJECT_VERSION} sources.")
  endif()
  string(REPLACE "${quillon_rule_how}" "${how}" text "${quillon_rule}")
  file(CONFIGURE OUTPUT ${PROJECT_BINARY_DIR}/udev/${kind}/60-quillon.rules CONTENT "${text}" @ONLY)
endforeach()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${quillon_rule_source})
install(FILES ${PROJECT_BINARY_DIR}/udev/package/60-quillon.rules DESTINATION lib/udev/rules.d
        COMPONENT cli EXCLUDE_FROM_ALL)
install(FILES ${PROJECT_BINARY_DIR}/udev/install/60-quillon.rules DESTINATION ${QUILLON_UDEV_RULES_DIR}
        COMPONENT local)
# The station's settings: a conffile of the package (dpkg keeps a station's
# edits across upgrades), never written over by an install from the build.
install(FILES ${PROJECT_SOURCE_DIR}/resources/station/quillon.conf DESTINATION /etc/quillon
        COMPONENT cli EXCLUDE_FROM_ALL)
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT cli)
install(FILES ${PROJECT_SOURCE_DIR}/sim/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR} RENAME simulator.md COMPONENT cli)

# Who answers for the package; a station's own build can name its own contact.
set(QUILLON_PACKAGE_CONTACT "Quillon maintainers <maintainers@quillon.example.org>" CACHE STRING
    "Maintainer of the Debian package (name <mail>)")
# Debian wants the copyright file and a compressed changelog in each package's
# documentation directory (changelog.gz: the version carries no Debian revision).
set(quillon_doc_dirs cli ${CMAKE_INSTALL_DOCDIR})
if(QUILLON_HAS_WINDOW_PROGRAM)
  list(APPEND quillon_doc_dirs window ${CMAKE_INSTALL_DATAROOTDIR}/doc/quillon-window)
endif()
# The changelog is dated by the last commit, so that a package says when its
# code was made and two builds of one commit are the same package; outside a
# git checkout the date is a fixed one.
execute_process(COMMAND git -C ${PROJECT_SOURCE_DIR} log -1 --format=%cD
                OUTPUT_VARIABLE quillon_changelog_date OUTPUT_STRIP_TRAILING_WHITESPACE
                RESULT_VARIABLE quillon_git_result ERROR_QUIET)
if(NOT quillon_git_result EQUAL 0 OR quillon_changelog_date STREQUAL "")
  set(quillon_changelog_date "Thu, 01 Jan 2026 00:00:00 +0000")
endif()
set(changelog ${PROJECT_BINARY_DIR}/debian/changelog)
configure_file(${PROJECT_SOURCE_DIR}/cmake/debian/changelog.in ${changelog} @ONLY)
add_custom_command(
  OUTPUT ${changelog}.gz
  COMMAND gzip -9 -n -c ${changelog} > ${changelog}.gz
  DEPENDS ${changelog}
  COMMENT "Compressing the package changelog")
add_custom_target(quillon_changelog ALL DEPENDS ${changelog}.gz)
while(quillon_doc_dirs)
  list(POP_FRONT quillon_doc_dirs component doc_dir)
  install(FILES ${PROJECT_SOURCE_DIR}/cmake/debian/copyright ${changelog}.gz DESTINATION ${doc_dir} COMPONENT ${component})
endwhile()

# Man pages, compressed as Debian keeps them.
set(man_pages "")
set(man_pages_window "")
set(pages quillon quillon-sim quillon-mkimage)
if(QUILLON_HAS_WINDOW_PROGRAM)
  list(APPEND pages quillon-window)
endif()
foreach(page ${pages})
  set(source ${PROJECT_SOURCE_DIR}/docs/man/${page}.1)
  set(packed ${PROJECT_BINARY_DIR}/man/${page}.1.gz)
  add_custom_command(
    OUTPUT ${packed}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
    COMMAND gzip -9 -n -c ${source} > ${packed}
    DEPENDS ${source}
    COMMENT "Compressing the man page ${page}.1")
  if(page STREQUAL "quillon-window")
    list(APPEND man_pages_window ${packed})
  else()
    list(APPEND man_pages ${packed})
  endif()
endforeach()
add_custom_target(quillon_man_pages ALL DEPENDS ${man_pages} ${man_pages_window})
install(FILES ${man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT cli)
if(QUILLON_HAS_WINDOW_PROGRAM)
  install(FILES ${man_pages_window} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT window)
endif()

set(CPACK_PACKAGE_NAME quillon)
set(CPACK_PACKAGE_VENDOR "Quillon")
set(CPACK_PACKAGE_CONTACT "${QUILLON_PACKAGE_CONTACT}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_INSTALL_DIRECTORY quillon)
set(CPACK_GENERATOR DEB)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING IGNORE)
set(CPACK_COMPONENTS_ALL cli)
if(QUILLON_HAS_WINDOW_PROGRAM)
  list(APPEND CPACK_COMPONENTS_ALL window)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/package)
set(CPACK_SET_DESTDIR OFF)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)

# Description lines of at most 80 characters, as Debian's control files want them.
set(CPACK_DEBIAN_CLI_PACKAGE_NAME quillon)
string(CONCAT CPACK_DEBIAN_CLI_DESCRIPTION
  "production-line firmware programmer for USB audio-codec and camera chips\n"
  "Quillon writes, verifies, erases and dumps the code memory of USB audio-codec\n"
  "and USB camera chips over their USB connection, from a scripted batch mode\n"
  "that leaves result files and JSON run records for line systems. Includes the\n"
  "chip simulator quillon-sim and the image maker quillon-mkimage. The operator's\n"
  "window is in the package quillon-window.")
# What the programs link against (scripts/check-package.sh checks each
# package's list against its binaries): no window toolkit here.
set(quillon_cli_depends "libc6 (>= 2.34), libgcc-s1, libstdc++6 (>= 12), libusb-1.0-0 (>= 2:1.0.16), libsqlite3-0 (>= 3.7.15), libpq5")
set(CPACK_DEBIAN_CLI_PACKAGE_DEPENDS "${quillon_cli_depends}")
set(CPACK_DEBIAN_CLI_PACKAGE_RECOMMENDS "udev")
set(CPACK_DEBIAN_CLI_PACKAGE_SUGGESTS "quillon-window")
# The station directories and the udev rule belong to the command-line package.
set(CPACK_DEBIAN_CLI_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/cmake/debian/postinst ${PROJECT_SOURCE_DIR}/cmake/debian/postrm
    ${PROJECT_SOURCE_DIR}/cmake/debian/conffiles)

set(CPACK_DEBIAN_WINDOW_PACKAGE_NAME quillon-window)
set(CPACK_DEBIAN_WINDOW_PACKAGE_SECTION electronics)
string(CONCAT CPACK_DEBIAN_WINDOW_DESCRIPTION
  "operator's window of the Quillon firmware programmer\n"
  "The window in which a line operator plugs a USB audio-codec chip in and writes\n"
  "its firmware with one button. quillon without arguments opens it. It uses the\n"
  "settings, profiles and station directories of the quillon package.")
# The same program with the window: it runs the command line as well, so it
# needs the same version of the command-line package's files and directories.
set(CPACK_DEBIAN_WINDOW_PACKAGE_DEPENDS
    "quillon (= ${PROJECT_VERSION}), ${quillon_cli_depends}, libqt6core6, libqt6gui6, libqt6widgets6, libasound2")
include(CPack)
