# Installation layout and the Debian package. `cmake --install <build>` (prefix /usr/local unless
# given) lays out:
#   bin/vorn-c, bin/vorn-watch                     the service and the watch client
#   lib/vorn-c/harl-sim, lib/vorn-c/pask-pub       test and load tools (broker simulator, bus publisher)
#   share/vorn-c/etc/vorn-c.conf, vorn-c.service   example configuration and systemd unit
#   share/vorn-c/db/schema.sql                     broker directory schema
#   share/vorn-c/web/                              dashboard files (installed by src/, when present)
#   share/doc/vorn-c/                              README and docs/*.md
#   lib/systemd/system/vorn-c.service              the unit, where systemd looks for it under /usr
# `cpack -G DEB` in the build directory packs the same layout under /usr.
include(GNUInstallDirs)

set(VORN_VERSION "0.1.0" CACHE STRING "version of the package")

install(TARGETS vorn-c RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(TARGET vorn-watch)
  install(TARGETS vorn-watch RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
foreach(tool harl-sim pask-pub)
  if(TARGET ${tool})
    install(TARGETS ${tool} RUNTIME DESTINATION lib/vorn-c)
  endif()
endforeach()
install(FILES etc/vorn-c.conf etc/vorn-c.service DESTINATION ${CMAKE_INSTALL_DATADIR}/vorn-c/etc)
install(FILES db/schema.sql DESTINATION ${CMAKE_INSTALL_DATADIR}/vorn-c/db)
file(GLOB vorn_docs ${CMAKE_SOURCE_DIR}/docs/*.md)
install(FILES README.md ${vorn_docs} DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES etc/vorn-c.service DESTINATION lib/systemd/system)

set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "vorn-c")
set(CPACK_PACKAGE_VERSION "${VORN_VERSION}")
set(CPACK_PACKAGE_CONTACT "vorn-c maintainers <vorn-c@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "streams live metric samples from NATS and brokers to websocket clients")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION "net")
# Runtime libraries (libnats3.x, libpq5, libssl3, libboost-json1.81.0, libpugixml1v5, liburcu8,
# libwslay1, zlib1g, libc6, libstdc++6, libgcc-s1) come from dpkg-shlibdeps; adduser for postinst.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "nats-server, postgresql")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA "${CMAKE_SOURCE_DIR}/cmake/deb/postinst")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
