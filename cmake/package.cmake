# Debian package of the installed tree: `cpack -G DEB` in a build directory.
# scripts/package-test.sh builds it, runs lintian on it and installs, starts,
# removes and purges it in a throw-away copy of the system.
#
# The programs and the daemon's directories stay below /opt/spindlekeep (the
# daemon's prefix); cmake/deb-layout.cmake moves the unit, man pages,
# completion and logrotate rules to their Debian places and adds the
# package's documents. packaging/deb/ holds the maintainer scripts.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME spindlekeep)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "spindlekeep maintainers <spindlekeep@example.org>")
set(CPACK_PACKAGE_VENDOR "spindlekeep")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "disk-health daemon for storage nodes")
set(CPACK_PACKAGE_DESCRIPTION
"spindlekeep keeps a registry of a storage node's disks, collects their base,
health and IO data from disk agents, computes IO statistics, finds slow,
prefailing and worn-out disks and pushes each disk's state and handling
strategy to a data agent. Operators use spindlekeep-cli.
.
The daemon runs as the systemd service spindlekeep, as the user
spindlekeep_user, with its files below /opt/spindlekeep.")
set(CPACK_PACKAGING_INSTALL_PREFIX /opt/spindlekeep)
# DESTDIR staging: the install code then sees the real prefix (for the unit).
set(CPACK_SET_DESTDIR ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "bash-completion, logrotate")
if(CMAKE_CROSSCOMPILING)
  # dpkg-shlibdeps reads the host's package database; name the libraries.
  string(REPLACE "aarch64" "arm64" CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${CMAKE_SYSTEM_PROCESSOR})
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser, libc6, libgcc-s1, libstdc++6, libcjson1, libmxml1")
else()
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser")
endif()
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_SOURCE_DIR}/packaging/deb/postinst
    ${CMAKE_SOURCE_DIR}/packaging/deb/prerm
    ${CMAKE_SOURCE_DIR}/packaging/deb/postrm
    ${CMAKE_SOURCE_DIR}/packaging/deb/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
set(CPACK_SPK_DEB_DIR ${CMAKE_SOURCE_DIR}/packaging/deb)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/deb-layout.cmake)
include(CPack)
