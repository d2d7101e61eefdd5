# Installed tree, everything below the prefix P (default /opt/spindlekeep):
#   P/bin/                  the programs (every tool installs itself there); the
#                           daemon finds P two levels above its executable
#   P/config/, P/userconfig_bak/   the daemon's own files; the service user's
#   P/lib/systemd/system/spindlekeep.service   the unit, made for P
#   P/share/man/man8/       man pages
#   P/share/bash-completion/completions/spindlekeep-cli
#   P/share/spindlekeep/logrotate   logrotate rules for the daemon's logs
#   P/share/spindlekeep/setup-service.sh   puts the above in place on a host
# The Debian package (cmake/package.cmake) moves the system pieces (unit, man
# pages, completion, logrotate rules) to their Debian places instead.
install(TARGETS spindlekeepd RUNTIME DESTINATION bin)
install(DIRECTORY DESTINATION config
        DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE)
install(DIRECTORY DESTINATION userconfig_bak
        DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE)

set(SPK_PACKAGING_DIR ${CMAKE_SOURCE_DIR}/packaging)
set(SPK_VERSION ${PROJECT_VERSION})  # in the man pages
foreach(page spindlekeepd spindlekeep-cli spindlekeep-diag spindlekeep-agent spindlekeep-replay)
  configure_file(${SPK_PACKAGING_DIR}/man/${page}.8 ${CMAKE_BINARY_DIR}/man/${page}.8 @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/man/${page}.8 DESTINATION share/man/man8)
endforeach()
install(FILES ${SPK_PACKAGING_DIR}/bash-completion/spindlekeep-cli
        DESTINATION share/bash-completion/completions)
install(FILES ${SPK_PACKAGING_DIR}/logrotate/spindlekeep DESTINATION share/spindlekeep
        RENAME logrotate)
install(PROGRAMS ${SPK_PACKAGING_DIR}/setup-service.sh DESTINATION share/spindlekeep)

# The unit names the prefix, which is known for sure only at install time
# (cmake --install --prefix, or the package's). A staged install (DESTDIR,
# the package) leaves the owners to the package's maintainer scripts.
install(CODE "
  set(_root \"\$ENV{DESTDIR}\")
  set(_p \"\${_root}\${CMAKE_INSTALL_PREFIX}\")
  set(SPK_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
  file(MAKE_DIRECTORY \${_p}/lib/systemd/system)
  configure_file(${SPK_PACKAGING_DIR}/spindlekeep.service.in
                 \${_p}/lib/systemd/system/spindlekeep.service @ONLY)
  message(STATUS \"Installing: \${_p}/lib/systemd/system/spindlekeep.service\")
  foreach(_d config userconfig_bak)
    execute_process(COMMAND chmod 0750 \${_p}/\${_d})
    if(_root STREQUAL \"\")
      execute_process(COMMAND chown spindlekeep_user:spindlekeep_group \${_p}/\${_d}
                      RESULT_VARIABLE _rc ERROR_QUIET)
      if(NOT _rc EQUAL 0)
        message(WARNING \"could not give \${_p}/\${_d} to spindlekeep_user:spindlekeep_group; run \${_p}/share/spindlekeep/setup-service.sh as root\")
      endif()
    endif()
  endforeach()
")

include(${CMAKE_CURRENT_LIST_DIR}/package.cmake)
