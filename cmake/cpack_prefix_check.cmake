# Read by cpack before it packages: the package installs below /usr, so the
# agent in it must have been built for /usr, or it would look for its
# configuration where the package puts none.
if(NOT CPACK_QUILLSTEAD_CONFIGURED_PREFIX STREQUAL "/usr")
  message(FATAL_ERROR
    "this build is configured for the prefix '${CPACK_QUILLSTEAD_CONFIGURED_PREFIX}'; "
    "the Debian package needs a build configured with -DCMAKE_INSTALL_PREFIX=/usr")
endif()
