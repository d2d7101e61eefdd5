# Installed tree: P/bin holds the programs, so the daemon finds its prefix two
# levels above its executable. P/config and P/userconfig_bak belong to the
# service user; the daemon writes there.
install(TARGETS spindlekeepd RUNTIME DESTINATION bin)
install(DIRECTORY DESTINATION config
        DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE)
install(DIRECTORY DESTINATION userconfig_bak
        DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/spindlekeep.service DESTINATION lib/systemd)
install(CODE "
  set(_p \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}\")
  foreach(_d config userconfig_bak)
    execute_process(COMMAND chmod 0750 \${_p}/\${_d})
    execute_process(COMMAND chown spindlekeep_user:spindlekeep_group \${_p}/\${_d}
                    RESULT_VARIABLE _rc ERROR_QUIET)
    if(NOT _rc EQUAL 0)
      message(WARNING \"could not give \${_p}/\${_d} to spindlekeep_user:spindlekeep_group; run scripts/setup.sh as root first\")
    endif()
  endforeach()
")
