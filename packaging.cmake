# What `make install` puts where, and the Debian package made of it.
#
#   sbin/, bin/                  the programs (see kestrune_program)
#   lib/Kestrune/                configuration and notice texts, never
#                                overwritten once there; the programs
#                                create the account and ban files
#   lib/systemd/system/          the monitor's unit and the timers of the
#                                scheduled jobs, installed but not enabled
#   share/man/                   the manual pages
#   share/doc/kestrune/          the README and a cron.d sample

set(KESTRUNE_SITE_FILES
  kestrune.config ku_reapfiles.config ku_reapprocs.config
  linewatchd.busy linewatchd.idle linewatchd.time_class linewatchd.time_period
  linewatchd.time_session)

install(DIRECTORY DESTINATION lib/Kestrune
        DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
                              GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# An administrator's own settings and texts stay as they are.
foreach(file IN LISTS KESTRUNE_SITE_FILES)
  install(CODE "
    if(NOT EXISTS \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/lib/Kestrune/${file}\")
      file(INSTALL \"${CMAKE_CURRENT_SOURCE_DIR}/etc/${file}\"
           DESTINATION \"\${CMAKE_INSTALL_PREFIX}/lib/Kestrune\"
           FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
    else()
      message(STATUS \"Kept: \$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/lib/Kestrune/${file}\")
    endif()
  ")
endforeach()

file(GLOB KESTRUNE_UNITS CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/systemd/*.service
     ${CMAKE_CURRENT_SOURCE_DIR}/systemd/*.timer)
install(FILES ${KESTRUNE_UNITS} DESTINATION lib/systemd/system
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

# The Debian package: `make package`.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kestrune)
set(CPACK_PACKAGE_VERSION 0.1.0)
set(CPACK_PACKAGE_CONTACT "Kestrune developers <root@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "time-limited dial-in accounts: session monitor and administration commands")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "bsd-mailx | mailutils")
# The settings and notice texts are the administrator's: dpkg keeps their
# changes on upgrade and asks before replacing them.
set(conffiles "")
foreach(file IN LISTS KESTRUNE_SITE_FILES)
  string(APPEND conffiles "/usr/lib/Kestrune/${file}\n")
endforeach()
file(WRITE ${CMAKE_BINARY_DIR}/debian/conffiles "${conffiles}")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/debian/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
