# Where the configuration of an install below `prefix` lives, one rule for
# the path compiled into the agent (configure time) and for the files put
# there (install time, cmake/install_prefixed.cmake), so the agent looks
# where the sample is.
#
# As GNUInstallDirs has it for a /usr prefix: configuration lives in /etc,
# not /usr/etc. Every other prefix keeps it below itself (/usr/local/etc,
# /opt/quillstead/etc); an absolute sysconfdir is taken as given.
function(quillstead_sysconfdir out prefix sysconfdir)
  if(IS_ABSOLUTE "${sysconfdir}")
    set(${out} "${sysconfdir}" PARENT_SCOPE)
  elseif(prefix STREQUAL "/usr" AND sysconfdir STREQUAL "etc")
    set(${out} "/etc" PARENT_SCOPE)
  else()
    set(${out} "${prefix}/${sysconfdir}" PARENT_SCOPE)
  endif()
endfunction()
