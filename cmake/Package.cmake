# The Debian package (make deb): the executable and the adapters in one directory
# /usr/lib/noxhalvorant (the service finds adapters beside its own file), the command
# /usr/bin/noxhalvorant, its manual page and the user units (the socket, enabled for
# graphical sessions, and the service it starts). No certificate and no key: each user's
# service makes its own at its first start (noxhalvorant --trust lets the browsers trust
# it). Only the service's own files are installed: tests never are.
include(GNUInstallDirs)
set(NOX_LIBDIR lib/noxhalvorant)

install(TARGETS NoxHalvorant RUNTIME DESTINATION ${NOX_LIBDIR})
install(TARGETS nox_adapter_crypt nox_adapter_pki nox_adapter_id LIBRARY DESTINATION ${NOX_LIBDIR}/Nox
  PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

# The unit as make install writes it, with the executable's place in the package.
file(READ ${CMAKE_SOURCE_DIR}/packaging/systemd/noxhalvorant.service NOX_UNIT)
string(REPLACE "@PREFIX@/bin/NoxHalvorant" "/usr/${NOX_LIBDIR}/NoxHalvorant" NOX_UNIT "${NOX_UNIT}")
string(REPLACE "@PREFIX@" "/usr" NOX_UNIT "${NOX_UNIT}")
file(WRITE ${CMAKE_BINARY_DIR}/packaging/noxhalvorant.service "${NOX_UNIT}")
install(FILES ${CMAKE_BINARY_DIR}/packaging/noxhalvorant.service ${CMAKE_SOURCE_DIR}/packaging/systemd/noxhalvorant.socket
  DESTINATION lib/systemd/user)

# The command on PATH.
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/packaging)
file(CREATE_LINK ../${NOX_LIBDIR}/NoxHalvorant ${CMAKE_BINARY_DIR}/packaging/noxhalvorant SYMBOLIC)
install(FILES ${CMAKE_BINARY_DIR}/packaging/noxhalvorant DESTINATION bin)

# The manual page, with the version filled in.
configure_file(${CMAKE_SOURCE_DIR}/packaging/man/noxhalvorant.1.in ${CMAKE_BINARY_DIR}/packaging/noxhalvorant.1 @ONLY)
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/packaging/noxhalvorant.1.gz
  COMMAND gzip -9n -c ${CMAKE_BINARY_DIR}/packaging/noxhalvorant.1 > ${CMAKE_BINARY_DIR}/packaging/noxhalvorant.1.gz
  DEPENDS ${CMAKE_BINARY_DIR}/packaging/noxhalvorant.1 VERBATIM)
install(FILES ${CMAKE_BINARY_DIR}/packaging/noxhalvorant.1.gz DESTINATION share/man/man1)

# Documentation Debian requires: copyright and a compressed changelog.
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/packaging/changelog.gz
  COMMAND gzip -9n -c ${CMAKE_SOURCE_DIR}/packaging/debian/changelog > ${CMAKE_BINARY_DIR}/packaging/changelog.gz
  DEPENDS ${CMAKE_SOURCE_DIR}/packaging/debian/changelog VERBATIM)
add_custom_target(nox_package_docs ALL
  DEPENDS ${CMAKE_BINARY_DIR}/packaging/changelog.gz ${CMAKE_BINARY_DIR}/packaging/noxhalvorant.1.gz)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/debian/copyright ${CMAKE_BINARY_DIR}/packaging/changelog.gz
  DESTINATION share/doc/noxhalvorant)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME noxhalvorant)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "local host for desktop security components")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "NoxHalvorant runs as a background service of the logged-in user
and lets web pages in that user's browser reach locally installed adapters
(cryptography, PKI, electronic-ID tokens) over HTTPS on 127.0.0.1 and ::1.")
set(CPACK_PACKAGE_CONTACT "NoxHalvorant developers <maintainers@noxhalvorant.invalid>")
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://noxhalvorant.invalid/")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# noxhalvorant --trust needs certutil.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libnss3-tools")
# The PKI adapter asks for PINs through a pinentry program; the e-ID adapter needs the
# smart-card daemon. Without them those adapters answer errors, the service still runs.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "pinentry-gnome3 | pinentry-qt | pinentry-gtk2 | pinentry-curses, pcscd")
# Removal prints how each user undoes the trust in their browsers.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_SOURCE_DIR}/packaging/debian/prerm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
