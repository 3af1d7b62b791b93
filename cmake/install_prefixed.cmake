# Runs inside "cmake --install" (and CPack), where CMAKE_INSTALL_PREFIX is the
# final prefix. Installs the files whose location or contents name a path
# below that prefix: the sample configuration and the service definition.

# A path from GNUInstallDirs below the prefix, or as given when absolute.
function(quillstead_below_prefix out relative)
  if(IS_ABSOLUTE "${relative}")
    set(${out} "${relative}" PARENT_SCOPE)
  else()
    set(${out} "${CMAKE_INSTALL_PREFIX}/${relative}" PARENT_SCOPE)
  endif()
endfunction()

include("${QUILLSTEAD_SOURCE_DIR}/cmake/config_dir.cmake")
quillstead_sysconfdir(sysconfdir "${CMAKE_INSTALL_PREFIX}" "${QUILLSTEAD_SYSCONFDIR}")
set(confdir "${sysconfdir}/quillstead")
quillstead_below_prefix(sbindir "${QUILLSTEAD_SBINDIR}")


# The service definitions in dist/ name the /usr/local layout; rewrite those
# two paths for this prefix. Each prefix gets its own staging file so that
# installs into several prefixes from one build tree do not race. A macro, not
# a function: file(INSTALL) records what it wrote in the install manifest
# through a variable of the calling scope.
macro(quillstead_install_service source destination)
  file(READ "${QUILLSTEAD_SOURCE_DIR}/${source}" text)
  string(REPLACE "/usr/local/sbin/quillstead" "${sbindir}/quillstead" text "${text}")
  string(REPLACE "/usr/local/etc/quillstead" "${confdir}" text "${text}")
  string(MD5 key "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
  get_filename_component(name "${source}" NAME)
  set(staged "${QUILLSTEAD_STAGING_DIR}/${key}/${name}")
  file(WRITE "${staged}" "${text}")
  file(INSTALL "${staged}" DESTINATION "${destination}" ${ARGN})
endmacro()

# The sample keeps its status records where FreeBSD keeps daemon state;
# a systemd system keeps it below /var/lib.
file(READ "${QUILLSTEAD_SOURCE_DIR}/examples/quillstead.conf.sample" sample)
if(QUILLSTEAD_SERVICE STREQUAL "systemd")
  string(REPLACE "/var/db/quillstead" "/var/lib/quillstead" sample "${sample}")
endif()
string(MD5 sample_key "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
set(staged_sample "${QUILLSTEAD_STAGING_DIR}/${sample_key}/quillstead.conf.sample")
file(WRITE "${staged_sample}" "${sample}")
file(INSTALL "${staged_sample}" DESTINATION "${confdir}"
     PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

if(QUILLSTEAD_SERVICE STREQUAL "systemd")
  quillstead_below_prefix(unitdir "${QUILLSTEAD_SYSTEMD_UNITDIR}")
  quillstead_install_service(dist/systemd/quillstead.service "${unitdir}"
                             PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
elseif(QUILLSTEAD_SERVICE STREQUAL "rc.d")
  quillstead_install_service(dist/freebsd/quillstead "${sysconfdir}/rc.d"
                             PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                         WORLD_READ WORLD_EXECUTE)
endif()
