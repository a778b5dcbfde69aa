# Install layout.  The daemon finds its configuration and its method modules
# beside its own executable, so both live in one private directory under
# libexec/, and the configuration there is a link to the real file in /etc.
include(GNUInstallDirs)

set(KIV_PKG_LIBEXECDIR ${CMAKE_INSTALL_LIBEXECDIR}/kiv-services-daemon)
set(KIV_PKG_SYSCONFDIR ${CMAKE_INSTALL_FULL_SYSCONFDIR}/kiv-services-daemon)
# The unit's LogsDirectory= creates this one, whatever the prefix.
set(KIV_PKG_LOGDIR /var/log/kiv-services-daemon CACHE PATH "Log directory of the shipped configuration")

# Unit directory: systemd's own answer where it is installed.
find_package(PkgConfig QUIET)
if(PkgConfig_FOUND)
  pkg_get_variable(_kiv_unitdir systemd systemdsystemunitdir)
endif()
if(NOT _kiv_unitdir)
  set(_kiv_unitdir /lib/systemd/system)
endif()
set(KIV_SYSTEMD_UNITDIR ${_kiv_unitdir} CACHE PATH "Where the service unit is installed")
option(KIV_INSTALL_UNIT "Install the systemd service unit (packaging may do it instead)" ON)

install(TARGETS kiv-services-daemon RUNTIME DESTINATION ${KIV_PKG_LIBEXECDIR})
# Method modules, whichever of them this tree builds.
foreach(mod kivmodldapnss kivmodldap kivmodpam kivmodgss kivmodlib)
  if(TARGET ${mod})
    install(TARGETS ${mod} LIBRARY DESTINATION ${KIV_PKG_LIBEXECDIR})
  endif()
endforeach()
if(TARGET kiv-services-client)
  install(TARGETS kiv-services-client RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

# Development files: the module contract.  The client library, its header,
# pkg-config file and the PAM module install from client/ and pam/.
install(FILES ${CMAKE_SOURCE_DIR}/include/kivmod.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

# The shipped configuration: the example with logs in the log directory.  It
# names LDAP_HOST_PW when LDAP is used, so only root may read it.
file(READ ${CMAKE_SOURCE_DIR}/config/kiv-services-daemon.conf.default _kiv_conf)
string(REPLACE "# Logs beside the binary." "# Logs (the service unit creates the directory)." _kiv_conf "${_kiv_conf}")
string(REPLACE "@DIR@" "${KIV_PKG_LOGDIR}" _kiv_conf "${_kiv_conf}")
file(WRITE ${CMAKE_BINARY_DIR}/pkg/kiv-services-daemon.conf "${_kiv_conf}")
install(FILES ${CMAKE_BINARY_DIR}/pkg/kiv-services-daemon.conf
        DESTINATION ${KIV_PKG_SYSCONFDIR} PERMISSIONS OWNER_READ OWNER_WRITE)
install(CODE "
  set(_link \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${KIV_PKG_LIBEXECDIR}/kiv-services-daemon.conf\")
  message(STATUS \"Installing: \${_link} -> ${KIV_PKG_SYSCONFDIR}/kiv-services-daemon.conf\")
  file(REMOVE \"\${_link}\")
  file(CREATE_LINK ${KIV_PKG_SYSCONFDIR}/kiv-services-daemon.conf \"\${_link}\" SYMBOLIC)
")
install(DIRECTORY DESTINATION ${KIV_PKG_LOGDIR}
        DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE)

# Service files that other parts of the tree provide.
if(EXISTS ${CMAKE_SOURCE_DIR}/config/pam.d/kiv-services-daemon)
  install(FILES ${CMAKE_SOURCE_DIR}/config/pam.d/kiv-services-daemon
          DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/pam.d)
endif()
if(EXISTS ${CMAKE_SOURCE_DIR}/config/logrotate.d/kiv-services-daemon)
  install(FILES ${CMAKE_SOURCE_DIR}/config/logrotate.d/kiv-services-daemon
          DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/logrotate.d)
endif()
if(KIV_INSTALL_UNIT)
  # The unit names the daemon's path under the default prefix.
  file(READ ${CMAKE_SOURCE_DIR}/config/systemd/kiv-services-daemon.service _kiv_unit)
  string(REPLACE "/usr/libexec/kiv-services-daemon" "${CMAKE_INSTALL_FULL_LIBEXECDIR}/kiv-services-daemon"
         _kiv_unit "${_kiv_unit}")
  file(WRITE ${CMAKE_BINARY_DIR}/pkg/kiv-services-daemon.service "${_kiv_unit}")
  install(FILES ${CMAKE_BINARY_DIR}/pkg/kiv-services-daemon.service DESTINATION ${KIV_SYSTEMD_UNITDIR})
endif()

install(FILES ${CMAKE_SOURCE_DIR}/man/kiv-services-daemon.8 DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
install(FILES ${CMAKE_SOURCE_DIR}/man/kiv-services-daemon.conf.5 DESTINATION ${CMAKE_INSTALL_MANDIR}/man5)
install(FILES ${CMAKE_SOURCE_DIR}/man/kiv-services-client.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
