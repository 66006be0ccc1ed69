# Installation layout beside the binary in bin/ (installed by the top-level CMakeLists.txt):
#   <sysconfdir>/mavo/mavo.conf                 commented sample configuration (kept if present)
#   <sysconfdir>/logrotate.d/mavoDaemon         rotation of the daemon log
#   lib/systemd/system/mavoDaemon.service       systemd unit naming the installed paths
#   lib/sysusers.d/mavo.conf                    the account mavo (system user and group)
#   lib/tmpfiles.d/mavo.conf                    the log directory /var/log/mavo (mavo:mavo, 0750)
#   share/mavo/*.sql                            reference schema of the monitoring database (and
#                                               every other SQL file of sql/)
#   share/mavo/prometheus/mavo.rules.yml        Prometheus alerting rules
#   share/man/man8/mavoDaemon.8, man5/mavo.conf.5   the manual pages
# <sysconfdir> follows GNUInstallDirs: /etc for the prefix /usr, <prefix>/etc otherwise. The
# unit and the configuration directory are worked out when installing, from the prefix given
# to `cmake --install --prefix`, so the unit always names where the files went. Installing as
# root to the real system also creates the account and gives the configuration its group.

include(GNUInstallDirs)

# Every SQL file of sql/ (the reference schema, and the schemas added beside it later).
file(GLOB MAVO_SQL_FILES ${CMAKE_CURRENT_LIST_DIR}/../sql/*.sql)
install(FILES ${MAVO_SQL_FILES} DESTINATION ${CMAKE_INSTALL_DATADIR}/mavo)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/mavo.rules.yml DESTINATION ${CMAKE_INSTALL_DATADIR}/mavo/prometheus)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/../man/mavoDaemon.8 DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/../man/mavo.conf.5 DESTINATION ${CMAKE_INSTALL_MANDIR}/man5)

set(MAVO_PACKAGING_DIR ${CMAKE_CURRENT_LIST_DIR})
set(MAVO_PACKAGING_BINARY_DIR ${CMAKE_BINARY_DIR}/packaging)
configure_file(${CMAKE_CURRENT_LIST_DIR}/install_files.cmake.in
               ${MAVO_PACKAGING_BINARY_DIR}/install_files.cmake @ONLY)
install(SCRIPT ${MAVO_PACKAGING_BINARY_DIR}/install_files.cmake)
