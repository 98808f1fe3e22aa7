# What `make install` puts where; the Debian package (debian/) lays out the
# same tree from it.
#
#   sbin/, bin/                  the programs (see kestrune_program)
#   /etc/kestrune/               the site's configuration and notice texts,
#                                never overwritten once there
#   /var/lib/kestrune/           the account and ban files, which the
#                                commands create, and a link to each file
#                                of /etc/kestrune
#   lib/Kestrune                 a link to /var/lib/kestrune: the programs'
#                                paths lead through it, and a rewrite's
#                                rename lands beside the real file
#   systemd's unit directory     the monitor's unit and the timers of the
#                                scheduled jobs, installed but not enabled:
#                                where systemd.pc says (/lib/systemd/system
#                                on Debian 12), else lib/systemd/system
#   share/man/                   the manual pages
#   share/doc/kestrune/          the README and a cron.d sample

set(KESTRUNE_SITE_FILES
  kestrune.config ku_reapfiles.config ku_reapprocs.config
  linewatchd.busy linewatchd.idle linewatchd.time_class linewatchd.time_period
  linewatchd.time_session)
set(KESTRUNE_SITE_DIR /etc/kestrune)
set(KESTRUNE_STATE_DIR /var/lib/kestrune)

# A host installed before the state left /usr has a real directory where the
# link goes: the package's own preinst moves its files out first.
install(CODE "
  set(ENV{DPKG_ROOT} \"\$ENV{DESTDIR}\")
  execute_process(COMMAND sh \"${CMAKE_CURRENT_SOURCE_DIR}/debian/kestrune.preinst\" install
                  RESULT_VARIABLE moved)
  if(NOT moved EQUAL 0)
    message(FATAL_ERROR \"could not move the files of \$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/lib/Kestrune\")
  endif()
")

set(directory_mode OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ
                   WORLD_EXECUTE)
install(DIRECTORY DESTINATION ${KESTRUNE_SITE_DIR} DIRECTORY_PERMISSIONS ${directory_mode})
install(DIRECTORY DESTINATION ${KESTRUNE_STATE_DIR} DIRECTORY_PERMISSIONS ${directory_mode})

# An administrator's own settings and texts stay as they are; a link an
# administrator replaced with a file stays too.
foreach(file IN LISTS KESTRUNE_SITE_FILES)
  install(CODE "
    set(site \"\$ENV{DESTDIR}${KESTRUNE_SITE_DIR}/${file}\")
    if(NOT EXISTS \"\${site}\")
      file(INSTALL \"${CMAKE_CURRENT_SOURCE_DIR}/etc/${file}\" DESTINATION \"${KESTRUNE_SITE_DIR}\"
           FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
    else()
      message(STATUS \"Kept: \${site}\")
    endif()
    set(link \"\$ENV{DESTDIR}${KESTRUNE_STATE_DIR}/${file}\")
    if(NOT EXISTS \"\${link}\" AND NOT IS_SYMLINK \"\${link}\")
      file(CREATE_LINK \"${KESTRUNE_SITE_DIR}/${file}\" \"\${link}\" SYMBOLIC)
    endif()
  ")
endforeach()

install(CODE "
  set(product \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/lib/Kestrune\")
  if(NOT IS_SYMLINK \"\${product}\")
    file(MAKE_DIRECTORY \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/lib\")
    file(CREATE_LINK \"${KESTRUNE_STATE_DIR}\" \"\${product}\" SYMBOLIC)
  endif()
")

file(GLOB KESTRUNE_UNITS CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/systemd/*.service
     ${CMAKE_CURRENT_SOURCE_DIR}/systemd/*.timer)
find_package(PkgConfig REQUIRED)
pkg_get_variable(KESTRUNE_UNIT_DIR systemd systemdsystemunitdir)
if(NOT KESTRUNE_UNIT_DIR)
  set(KESTRUNE_UNIT_DIR lib/systemd/system)
endif()
install(FILES ${KESTRUNE_UNITS} DESTINATION ${KESTRUNE_UNIT_DIR}
        PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

foreach(section 1 5 8)
  file(GLOB pages CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/man/*.${section})
  install(FILES ${pages} DESTINATION share/man/man${section}
          PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
endforeach()

install(FILES README.md DESTINATION share/doc/kestrune
        PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
install(FILES cron/kestrune DESTINATION share/doc/kestrune/examples/cron.d
        PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
