# What is installed besides the programs (each folder installs its own with GNUInstallDirs),
# and the packages CPack makes of it; scripts/package runs them into dist/:
#
#   cpack -G DEB   tal-directory-server (server, system unit, /etc configuration, man page) and
#                  talagent (agent, its user unit, talpki, their man pages and READMEs) Linux build
#   cpack -G TGZ   the operators' Linux bundle: launcher, talviewer, set.xml, README,
#                  add-menu-entry, icon                                             Linux build
#   cpack -G ZIP   the operators' Windows bundle: launcher.exe, talviewer.exe, set.xml in
#                  code page 949, README                                           mingw build
#
# The system files (units, /etc) and the bundles are components left out of a plain
# `cmake --install`: they belong to a package, not to an installation under a prefix.
# The files themselves are in packaging/; this file only places them.

set(LAUNCHER_PACKAGE_RELEASE 1 CACHE STRING "Debian revision of the packages (the part after '-')")
set(LAUNCHER_PACKAGE_CONTACT "Launcher developers <launcher@example.org>")
set(pkg_src ${PROJECT_SOURCE_DIR}/packaging)
set(pkg_gen ${PROJECT_BINARY_DIR}/packaging)
file(MAKE_DIRECTORY ${pkg_gen})

# --version of the programs that have one.
foreach(target directory_server_core talagent_core talviewer)
  if(TARGET ${target})
    target_compile_definitions(${target} PRIVATE LAUNCHER_VERSION="${PROJECT_VERSION}")
  endif()
endforeach()

# gzip -9n: no name and no time stamp inside, as Debian wants for man pages and changelogs.
function(launcher_gzip input output)
  execute_process(COMMAND gzip -9nc ${input} OUTPUT_FILE ${output} COMMAND_ERROR_IS_FATAL ANY)
endfunction()

# Text for Windows: CRLF line ends, and `codepage` (iconv's name) instead of UTF-8.
function(launcher_windows_text input output codepage)
  configure_file(${input} ${output}.utf8 @ONLY)
  file(READ ${output}.utf8 text)
  string(REPLACE "\n" "\r\n" text "${text}")
  file(WRITE ${output}.crlf "${text}")
  execute_process(COMMAND iconv -f UTF-8 -t ${codepage} ${output}.crlf OUTPUT_FILE ${output}
                  COMMAND_ERROR_IS_FATAL ANY)
endfunction()

if(NOT WIN32)
  # ---- Debian packages -------------------------------------------------------------------
  set(deb_version ${PROJECT_VERSION}-${LAUNCHER_PACKAGE_RELEASE})
  set(MAINTAINER "${LAUNCHER_PACKAGE_CONTACT}")
  foreach(package tal-directory-server talagent)
    set(PACKAGE ${package})
    set(VERSION ${deb_version})
    configure_file(${pkg_src}/changelog.in ${pkg_gen}/${package}/changelog.Debian @ONLY)
    launcher_gzip(${pkg_gen}/${package}/changelog.Debian ${pkg_gen}/${package}/changelog.Debian.gz)
  endforeach()
  configure_file(${pkg_src}/server/directory-server.1 ${pkg_gen}/directory-server.1 @ONLY)
  launcher_gzip(${pkg_gen}/directory-server.1 ${pkg_gen}/directory-server.1.gz)

  install(FILES ${pkg_gen}/directory-server.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
          COMPONENT server)
  set(system EXCLUDE_FROM_ALL COMPONENT server_system)
  install(FILES ${pkg_src}/server/directory-server.service DESTINATION /lib/systemd/system ${system})
  install(FILES ${pkg_src}/server/default DESTINATION /etc/default RENAME directory-server ${system})
  install(FILES ${pkg_src}/server/hosts DESTINATION /etc/directory-server ${system})
  install(FILES ${pkg_src}/server/logrotate DESTINATION /etc/logrotate.d RENAME directory-server
          ${system})
  install(FILES ${pkg_src}/server/agent-keys DESTINATION /etc/directory-server
          PERMISSIONS OWNER_READ OWNER_WRITE ${system})
  install(FILES ${pkg_src}/copyright ${pkg_gen}/tal-directory-server/changelog.Debian.gz
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/tal-directory-server ${system})
  install(FILES ${pkg_src}/server/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides
          RENAME tal-directory-server ${system})

  # The agent's and talpki's man pages come with the programs; their READMEs with the package.
  foreach(page ${PROJECT_SOURCE_DIR}/src/agent/talagent.1 ${PROJECT_SOURCE_DIR}/tools/pki/talpki.1)
    get_filename_component(page_name ${page} NAME)
    configure_file(${page} ${pkg_gen}/${page_name} @ONLY)
    launcher_gzip(${pkg_gen}/${page_name} ${pkg_gen}/${page_name}.gz)
    install(FILES ${pkg_gen}/${page_name}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
            COMPONENT agent)
  endforeach()
  set(system EXCLUDE_FROM_ALL COMPONENT agent_system)
  # User units have no place under /lib: systemd reads them from /usr/lib/systemd/user.
  install(FILES ${PROJECT_SOURCE_DIR}/src/agent/talagent.service
          DESTINATION /usr/lib/systemd/user ${system})
  install(FILES ${pkg_src}/copyright ${pkg_gen}/talagent/changelog.Debian.gz
                ${PROJECT_SOURCE_DIR}/src/agent/README.md
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/talagent ${system})
  install(FILES ${PROJECT_SOURCE_DIR}/tools/pki/README.md
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/talagent RENAME README.talpki.md ${system})
endif()

# ---- The operators' bundles ----------------------------------------------------------------
set(bundle EXCLUDE_FROM_ALL COMPONENT bundle)
if(WIN32 AND TARGET launcher AND TARGET talviewer_win32)
  set(bundle_name launcher-${PROJECT_VERSION}-windows-x64)
  launcher_windows_text(${pkg_src}/windows/README.txt ${pkg_gen}/README.txt UTF-8)
  # The launcher reads set.xml in the system's ANSI code page: 949 on a Korean Windows.
  launcher_windows_text(${pkg_src}/windows/set.xml.in ${pkg_gen}/set.xml CP949)
  install(TARGETS launcher talviewer_win32 RUNTIME DESTINATION . ${bundle})
  install(FILES ${pkg_gen}/set.xml ${pkg_gen}/README.txt DESTINATION . ${bundle})
elseif(NOT WIN32 AND TARGET launcher AND TARGET talviewer)
  set(bundle_name launcher-${PROJECT_VERSION}-linux-x86_64)
  # What `apt install` the README names: the libraries the two programs link (Qt; OpenSSL, with
  # which the viewer signs the operator's proof; libjpeg-turbo, which decodes Tight's JPEG; the
  # bundle test checks this against dpkg-shlibdeps) and the package of Qt's platform plugins.
  set(QT_RUNTIME_PACKAGES
      "libqt6widgets6 libqt6gui6 libqt6core6 libqt6network6 libssl3 libturbojpeg0 qt6-qpa-plugins")
  configure_file(${pkg_src}/linux/README.txt ${pkg_gen}/README.txt @ONLY)
  find_package(Python3 REQUIRED COMPONENTS Interpreter)
  add_custom_command(OUTPUT ${pkg_gen}/launcher.png
                     COMMAND Python3::Interpreter ${PROJECT_SOURCE_DIR}/tools/icon/make_icon.py
                             ${pkg_gen}/launcher.png
                     DEPENDS ${PROJECT_SOURCE_DIR}/tools/icon/make_icon.py VERBATIM)
  add_custom_target(launcher_png ALL DEPENDS ${pkg_gen}/launcher.png)
  install(TARGETS launcher talviewer RUNTIME DESTINATION . ${bundle})
  install(FILES ${pkg_src}/linux/set.xml ${pkg_gen}/README.txt ${pkg_gen}/launcher.png
          DESTINATION . ${bundle})
  install(PROGRAMS ${pkg_src}/linux/add-menu-entry DESTINATION . ${bundle})
endif()

# ---- CPack ----------------------------------------------------------------------------------
set(CPACK_PACKAGE_NAME launcher)
set(CPACK_PACKAGE_VENDOR "The launcher developers")
set(CPACK_PACKAGE_CONTACT "${LAUNCHER_PACKAGE_CONTACT}")
# No CPACK_PACKAGE_DESCRIPTION_SUMMARY: CPackDeb would put it before each package's own synopsis.
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/dist)
set(CPACK_STRIP_FILES ON)
set(CPACK_LAUNCHER_BUNDLE_NAME "${bundle_name}")
# Which components each generator packs (read by cpack, per generator).
set(CPACK_PROJECT_CONFIG_FILE ${pkg_src}/cpack_generators.cmake)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
else()
  set(CPACK_GENERATOR DEB TGZ)
endif()

set(CPACK_DEBIAN_PACKAGE_RELEASE ${LAUNCHER_PACKAGE_RELEASE})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# One package per group: the program and the system files it comes with.
set(CPACK_COMPONENT_SERVER_GROUP dirsrv)
set(CPACK_COMPONENT_SERVER_SYSTEM_GROUP dirsrv)
set(CPACK_COMPONENT_AGENT_GROUP agent)
set(CPACK_COMPONENT_AGENT_SYSTEM_GROUP agent)

set(CPACK_DEBIAN_DIRSRV_PACKAGE_NAME tal-directory-server)
set(CPACK_DEBIAN_DIRSRV_DESCRIPTION "directory server for remote-support launchers
The directory server tells the remote-support launchers which machines can be
reached: the names of a hosts file and those of the machines whose agents
(package talagent) keep a connection to it.
.
It runs as a hardened systemd service under a dynamic user, listening on TCP
port 47010; its configuration is in /etc/default/directory-server and
/etc/directory-server, where agent-keys names the machines that may register.")
set(CPACK_DEBIAN_DIRSRV_PACKAGE_CONTROL_EXTRA
    "${pkg_src}/server/conffiles;${pkg_src}/server/postinst;${pkg_src}/server/prerm;${pkg_src}/server/postrm")

set(CPACK_DEBIAN_AGENT_PACKAGE_NAME talagent)
set(CPACK_DEBIAN_AGENT_PACKAGE_DEPENDS "x11vnc, openssl")
set(CPACK_DEBIAN_AGENT_PACKAGE_RECOMMENDS "x11-utils")
set(CPACK_DEBIAN_AGENT_DESCRIPTION "remote-support agent for X11 desktops
The agent keeps this machine listed by a remote-support directory server and,
when an operator opens a session, starts x11vnc to connect the desktop out to
the server; it can ask the person at the screen first. It comes with a systemd
user unit for the graphical session and talpki, which makes the certificates
of encrypted sessions with openssl.")

include(CPack)
