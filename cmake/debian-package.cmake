# The Debian package, built by CPack from the same install rules as `cmake --install`
# (scripts/package.sh configures a build for it: prefix /usr, Debian's hardening flags).
# Debian wants files a plain install does not have (a copyright file and a compressed changelog
# under share/doc, and lintian's overrides): they are added here, for the package only.

set(KESTROM_DEB_DOC ${CMAKE_INSTALL_DATADIR}/doc/kestrom)
set(KESTROM_DEB_STAGE ${PROJECT_BINARY_DIR}/debian)
configure_file(${PROJECT_SOURCE_DIR}/dist/debian/changelog.in ${KESTROM_DEB_STAGE}/changelog @ONLY)
add_custom_command(OUTPUT ${KESTROM_DEB_STAGE}/changelog.Debian.gz
    COMMAND gzip -9nc ${KESTROM_DEB_STAGE}/changelog > ${KESTROM_DEB_STAGE}/changelog.Debian.gz
    DEPENDS ${KESTROM_DEB_STAGE}/changelog VERBATIM)
add_custom_target(kestrom_debian_files ALL DEPENDS ${KESTROM_DEB_STAGE}/changelog.Debian.gz)
install(FILES ${PROJECT_SOURCE_DIR}/dist/debian/copyright ${KESTROM_DEB_STAGE}/changelog.Debian.gz
        DESTINATION ${KESTROM_DEB_DOC} COMPONENT debian EXCLUDE_FROM_ALL)
# The two warnings lintian gives, with the reasons they stay.
install(FILES ${PROJECT_SOURCE_DIR}/dist/debian/lintian-overrides
        DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME kestrom
        COMPONENT debian EXCLUDE_FROM_ALL)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kestrom)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "kestrom maintainers <maintainers@users.noreply.c-seed-e148477a.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware and web page loader for Zorva controllers")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "kestrom brings new firmware and new web pages onto a Zorva controller in the
same IPv4 network. In one process it is a small DHCP server that points a
network-booting controller at this PC and its boot file, a TFTP server for
that file, a shell client that tells the controller to update its firmware,
and an HTTP client that uploads the controller's web pages.
.
It has a window for the bench, a command line, and a systemd unit for a
station PC.")
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Library dependencies come from dpkg-shlibdeps; setcap (for the capability above) is wanted at
# install but not needed: without it the post-install script says what to do.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS libcap2-bin)
# The registry library is public (other programs may use the hive): a shlibs file, and the
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# ldconfig trigger instead of ldconfig calls in the scripts.
set(KESTROM_DEB_CONTROL postinst prerm postrm triggers)
list(TRANSFORM KESTROM_DEB_CONTROL PREPEND ${PROJECT_SOURCE_DIR}/dist/debian/)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${KESTROM_DEB_CONTROL})
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
# Everything a plain install has but what building against the library takes (its header and
# link name, for a development package), plus the Debian files above.
set(CPACK_INSTALL_CMAKE_PROJECTS
    "${PROJECT_BINARY_DIR};kestrom;Unspecified;/" "${PROJECT_BINARY_DIR};kestrom;debian;/")
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_SOURCE_DIR}/packages)
include(CPack)
