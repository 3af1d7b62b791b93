# Debian package: quillstead_<version>_<arch>.deb, made by CPack from a
# build configured for the /usr prefix, since the agent's default
# configuration path (/etc/quillstead/quillstead.conf there) is compiled in:
#
#   cmake -S . -B build-deb -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
#         -DQUILLSTEAD_TESTS=OFF -DCMAKE_INSTALL_PREFIX=/usr
#   cmake --build build-deb
#   cpack --config build-deb/CPackConfig.cmake -B build-deb/package
#
# cpack refuses a build configured for another prefix rather than package
# an agent that looks for its configuration below /usr/local.
#
# The package installs below /usr, with the configuration in /etc/quillstead
# (see install_prefixed.cmake) and the unit in /usr/lib/systemd/system. It
# never enables or starts the service: that waits until an operator has
# written /etc/quillstead/quillstead.conf.

set(CPACK_QUILLSTEAD_CONFIGURED_PREFIX "${CMAKE_INSTALL_PREFIX}")
set(CPACK_PROJECT_CONFIG_FILE "${PROJECT_SOURCE_DIR}/cmake/cpack_prefix_check.cmake")
set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "quillstead")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_CONTACT "quillstead maintainers <quillstead@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "configuration bundle pull agent")
set(CPACK_PACKAGE_DESCRIPTION
    "quillstead polls HTTP and HTTPS URLs with conditional GETs and installs the\n"
    "bundles it finds there (gzip-compressed tar archives or single files) into\n"
    "local directories, switching versions atomically and running a hook after\n"
    "each install.")
string(JOIN "" CPACK_PACKAGE_DESCRIPTION ${CPACK_PACKAGE_DESCRIPTION})
# Install with CMAKE_INSTALL_PREFIX=/usr (CPACK_INSTALL_PREFIX), the prefix
# the build was configured for, and DESTDIR pointing into CPack's staging
# tree, so the install script sees the real prefix and puts the
# configuration in /etc.
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_INSTALL_PREFIX "/usr")
set(CPACK_SET_DESTDIR ON)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION "admin")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
# dpkg-shlibdeps works out the library dependencies (libssl, zlib, ISA-L).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    "${PROJECT_SOURCE_DIR}/dist/debian/postinst;${PROJECT_SOURCE_DIR}/dist/debian/prerm;${PROJECT_SOURCE_DIR}/dist/debian/postrm")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
