# make package: one Debian package (CPack's DEB generator) of everything that
# "make install" installs, under /usr.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tembra)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Tembra developers <tembra@tembra.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Logging to a POSIX message queue, drained into daily files")
set(CPACK_PACKAGE_DESCRIPTION "A logging library for Linux processes, its drain service,
tembra-log for shell scripts, manual pages, bash completion, systemd units and
the sysctl.d and tmpfiles.d snippets for queue depth and retention.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
# Install into a DESTDIR with the real prefix, so files that name the prefix
# (the units, the pkg-config file) name /usr, not the staging directory.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
# Debian ships programs and libraries without their symbols.
set(CPACK_STRIP_FILES ON)
# The programs' shared libraries (GnuTLS, librelp, zlib, zstd, ...) are read off
# the binaries by dpkg-shlibdeps.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# kill(1), which tembra-drain.service's reload runs, is procps'.
set(CPACK_DEBIAN_PACKAGE_DEPENDS procps)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "systemd, bash-completion")
# The shared library's shlibs entry, so packages built against it depend on this one.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
# The units' lifecycle (packaging/debian/postinst, prerm, postrm), the files under
# /etc kept as the administrator's (conffiles), and ldconfig run by its trigger.
set(debian ${PROJECT_SOURCE_DIR}/packaging/debian)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${debian}/postinst ${debian}/prerm ${debian}/postrm ${debian}/conffiles ${debian}/triggers)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
