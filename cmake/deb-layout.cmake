# Run by cpack after the install into the staging tree, before the .deb is
# made: moves the system pieces out of the prefix to where Debian wants them
# and adds the package's own documents. Uses CPACK_TEMPORARY_DIRECTORY (the
# staging root), CPACK_PACKAGING_INSTALL_PREFIX, CPACK_PACKAGE_VERSION and
# CPACK_SPK_DEB_DIR (packaging/deb).
set(root ${CPACK_TEMPORARY_DIRECTORY})
set(p ${root}${CPACK_PACKAGING_INSTALL_PREFIX})
set(doc ${root}/usr/share/doc/${CPACK_PACKAGE_NAME})

function(spk_move from to)
  get_filename_component(dir ${to} DIRECTORY)
  file(MAKE_DIRECTORY ${dir})
  file(RENAME ${from} ${to})
endfunction()

function(spk_gzip file)
  execute_process(COMMAND gzip -9n ${file} RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "gzip ${file} failed")
  endif()
endfunction()

# bookworm keeps units in /lib (the merged-/usr move is not done there).
spk_move(${p}/lib/systemd/system/spindlekeep.service ${root}/lib/systemd/system/spindlekeep.service)
spk_move(${p}/share/bash-completion/completions/spindlekeep-cli
         ${root}/usr/share/bash-completion/completions/spindlekeep-cli)
spk_move(${p}/share/spindlekeep/logrotate ${root}/etc/logrotate.d/spindlekeep)
file(GLOB pages ${p}/share/man/man8/*.8)
foreach(page ${pages})
  get_filename_component(name ${page} NAME)
  spk_move(${page} ${root}/usr/share/man/man8/${name})
  spk_gzip(${root}/usr/share/man/man8/${name})
endforeach()
# The maintainer scripts do what the set-up script does for a plain install.
file(REMOVE ${p}/share/spindlekeep/setup-service.sh)
file(REMOVE_RECURSE ${p}/lib ${p}/share)

file(MAKE_DIRECTORY ${doc} ${root}/usr/share/lintian/overrides)
file(COPY_FILE ${CPACK_SPK_DEB_DIR}/copyright ${doc}/copyright)
file(COPY_FILE ${CPACK_SPK_DEB_DIR}/lintian-overrides
     ${root}/usr/share/lintian/overrides/${CPACK_PACKAGE_NAME})
# A native package's changelog: one entry for the version being packaged.
string(TIMESTAMP now "%a, %d %b %Y %H:%M:%S +0000" UTC)
file(WRITE ${doc}/changelog
"${CPACK_PACKAGE_NAME} (${CPACK_PACKAGE_VERSION}) unstable; urgency=medium

  * Package of the spindlekeep tree, version ${CPACK_PACKAGE_VERSION}.

 -- ${CPACK_PACKAGE_CONTACT}  ${now}
")
spk_gzip(${doc}/changelog)
# The daemon's directories get their owner and mode 0750 from the
# maintainer scripts (dpkg-statoverride); shipped as plain directories.
execute_process(COMMAND chmod 0755 ${p}/config ${p}/userconfig_bak)
# Files in the package are 0644 and directories 0755, whatever the umask of
# the build was; the programs keep their execute bits.
execute_process(COMMAND chmod -R u+rwX,go+rX,go-w ${root}/usr ${root}/etc ${root}/lib)
