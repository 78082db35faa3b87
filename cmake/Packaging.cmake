# Install rules for documentation and the Debian package.
# `cmake --install` puts the manual pages in share/man/man1 and the README and
# the example systemd units in share/doc/zarvo-accesslogwriter;
# `cpack -G DEB` in the build directory (or scripts/package.sh) makes the .deb.

# Debian ships manual pages gzipped; -n keeps name and time out of the
# member, so the same page always gives the same bytes.
set(ZARVO_MAN_PAGES_GZ)
foreach(program zarvo-accesslogwriter zarvo-accesslogcat)
  set(page ${PROJECT_SOURCE_DIR}/docs/${program}.1)
  set(page_gz ${PROJECT_BINARY_DIR}/docs/${program}.1.gz)
  add_custom_command(
    OUTPUT ${page_gz}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/docs
    COMMAND sh -c "gzip -9n -c '${page}' > '${page_gz}'"
    DEPENDS ${page}
    VERBATIM)
  list(APPEND ZARVO_MAN_PAGES_GZ ${page_gz})
endforeach()
add_custom_target(zarvo_man_page ALL DEPENDS ${ZARVO_MAN_PAGES_GZ})

install(FILES ${ZARVO_MAN_PAGES_GZ} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
# Debian wants the copyright notice and the changelog beside the other
# documentation, the changelog gzipped (-n as for the page).
set(ZARVO_CHANGELOG_GZ ${PROJECT_BINARY_DIR}/docs/changelog.gz)
add_custom_command(
  OUTPUT ${ZARVO_CHANGELOG_GZ}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/docs
  COMMAND sh -c "gzip -9n -c '${PROJECT_SOURCE_DIR}/docs/changelog' > '${ZARVO_CHANGELOG_GZ}'"
  DEPENDS ${PROJECT_SOURCE_DIR}/docs/changelog
  VERBATIM)
add_custom_target(zarvo_changelog ALL DEPENDS ${ZARVO_CHANGELOG_GZ})

install(FILES README.md docs/copyright ${ZARVO_CHANGELOG_GZ} DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES
  docs/examples/zarvo-accesslogwriter.socket
  docs/examples/zarvo-accesslogwriter.service
  docs/examples/zarvo-accesslogwriter-rotate.timer
  docs/examples/zarvo-accesslogwriter-rotate.service
  docs/examples/http-proxy.service
  docs/examples/zarvo-shipper.conf
  docs/examples/zarvo-clickhouse.sql
  DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)

set(ZARVO_PACKAGE_CONTACT "zarvo-accesslogwriter developers <zarvo-accesslogwriter@localhost>"
  CACHE STRING "Maintainer field of the Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zarvo-accesslogwriter)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${ZARVO_PACKAGE_CONTACT})
# Apache-2.0; the package carries it as docs/copyright, Debian's way.
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "stores an HTTP proxy's access log in numbered, gzipped files")
# Debian wants the long description in lines of at most 80 characters.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
  "zarvo-accesslogwriter reads an access log on standard input and writes"
  "every line behind a timestamp prefix into numbered, size-limited files in"
  "one directory. A symbolic link names the file being written, finished"
  "files are gzipped on a background thread and only the newest archives are"
  "kept. zarvo-accesslogcat prints and follows the records of such a"
  "directory, without missing a file at any rotation rate, and resumes from"
  "a cursor file for a shipper. Example systemd units, a syslog-ng shipper"
  "and a ClickHouse schema are in"
  "/usr/share/doc/zarvo-accesslogwriter/examples."
  "Licensed under the Apache License, Version 2.0.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# The build type keeps debug information; the package does not need it.
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# dpkg-shlibdeps derives the library packages (Boost filesystem and
# iostreams, zlib, libstdc++, libc) from the binaries themselves. zlib is
# not named again: the reader links it, and the writer loads it through
# Boost.Iostreams, whose package depends on it; a second entry would list
# zlib1g twice.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

include(CPack)
