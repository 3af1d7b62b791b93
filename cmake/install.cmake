# What "cmake --install" and the packages put where. Destinations stay relative
# to the prefix, so the prefix chosen at install time ("cmake --install build
# --prefix /opt/qs", DESTDIR, the Debian package's /usr) moves everything
# together. Included after GNUInstallDirs.

option(QUILLSTEAD_INSTALL_SERVICE
       "Install the service definition of this system (systemd unit on Linux, rc.d script on FreeBSD)" ON)
set(QUILLSTEAD_SYSTEMD_UNITDIR "lib/systemd/system" CACHE STRING
    "Where the systemd unit goes; relative paths are taken below the install prefix")

install(FILES man/quillstead.8 DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
install(FILES man/quillstead.conf.5 DESTINATION ${CMAKE_INSTALL_MANDIR}/man5)
# Every example; demo.conf holds placeholders only scripts/demo.sh fills in.
file(GLOB quillstead_examples CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/examples/*.conf)
list(REMOVE_ITEM quillstead_examples ${PROJECT_SOURCE_DIR}/examples/demo.conf)
install(FILES ${quillstead_examples} examples/signed-bundle.pub DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)

if(NOT QUILLSTEAD_INSTALL_SERVICE)
  set(quillstead_service none)
elseif(CMAKE_SYSTEM_NAME STREQUAL "FreeBSD")
  set(quillstead_service rc.d)
elseif(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  set(quillstead_service systemd)
else()
  set(quillstead_service none)
endif()

# The configuration directory and the paths inside the service definition
# depend on the prefix in force when installing, not the one configured here,
# so they are settled by a script that runs at install time.
install(CODE "
  set(QUILLSTEAD_SOURCE_DIR \"${PROJECT_SOURCE_DIR}\")
  set(QUILLSTEAD_STAGING_DIR \"${PROJECT_BINARY_DIR}/install-staging\")
  set(QUILLSTEAD_SBINDIR \"${CMAKE_INSTALL_SBINDIR}\")
  set(QUILLSTEAD_SYSCONFDIR \"${CMAKE_INSTALL_SYSCONFDIR}\")
  set(QUILLSTEAD_SYSTEMD_UNITDIR \"${QUILLSTEAD_SYSTEMD_UNITDIR}\")
  set(QUILLSTEAD_SERVICE \"${quillstead_service}\")
")
install(SCRIPT cmake/install_prefixed.cmake)
include(${PROJECT_SOURCE_DIR}/cmake/packaging.cmake)
