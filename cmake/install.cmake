# What `cmake --install` puts on a machine, and how CPack packs it:
#   lib    libqmx.so.0 (Linux) / qmx.dll (Windows)
#   dev    the header, the CMake package, qmx.pc, the .so link and import libraries
#   proxy  qmx-proxy and qmx-replay, their man pages, the systemd unit, default
#          configuration and examples
# The internal static library, tests, fuzzers and benchmarks stay in the build.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(QMX_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/qmx)

install(TARGETS qmx EXPORT qmxTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT lib
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT lib NAMELINK_COMPONENT dev
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev)
install(FILES ${PROJECT_SOURCE_DIR}/include/qmx/qmx.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/qmx COMPONENT dev)
install(EXPORT qmxTargets NAMESPACE qmx:: DESTINATION ${QMX_CMAKE_DIR} COMPONENT dev)

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/qmxConfig.cmake.in
  ${PROJECT_BINARY_DIR}/qmxConfig.cmake INSTALL_DESTINATION ${QMX_CMAKE_DIR})
# The ABI holds within a major version: that is what the SONAME promises.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/qmxConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/qmxConfig.cmake ${PROJECT_BINARY_DIR}/qmxConfigVersion.cmake
  DESTINATION ${QMX_CMAKE_DIR} COMPONENT dev)

if(WIN32)
  # MSVC links against qmx.lib; MinGW's own libqmx.dll.a comes with the
  # ARCHIVE rule above. Both name the same 14 exports.
  find_program(QMX_DLLTOOL NAMES ${CMAKE_C_COMPILER_TARGET}-dlltool x86_64-w64-mingw32-dlltool
    llvm-dlltool dlltool)
  if(QMX_DLLTOOL)
    add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/qmx.lib
      COMMAND ${QMX_DLLTOOL} -m i386:x86-64 -d ${PROJECT_SOURCE_DIR}/src/qmx.def
              -D qmx.dll -l ${PROJECT_BINARY_DIR}/qmx.lib
      DEPENDS ${PROJECT_SOURCE_DIR}/src/qmx.def
      COMMENT "Import library qmx.lib for MSVC")
    add_custom_target(qmx_msvc_import_lib ALL DEPENDS ${PROJECT_BINARY_DIR}/qmx.lib)
    install(FILES ${PROJECT_BINARY_DIR}/qmx.lib DESTINATION ${CMAKE_INSTALL_LIBDIR}
      COMPONENT dev)
  endif()
  install(FILES ${PROJECT_SOURCE_DIR}/src/qmx.def DESTINATION ${CMAKE_INSTALL_LIBDIR}
    COMPONENT dev)
  install(FILES ${PROJECT_SOURCE_DIR}/deploy/windows/README.txt DESTINATION . COMPONENT dev)
else()
  configure_file(${PROJECT_SOURCE_DIR}/cmake/qmx.pc.in ${PROJECT_BINARY_DIR}/qmx.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/qmx.pc
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)
endif()

# A program of the proxy package with its gzipped manual page.
function(qmx_install_program name)
  install(TARGETS ${name} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT proxy)
  set(page ${PROJECT_BINARY_DIR}/${name}.1.gz)
  add_custom_command(OUTPUT ${page}
    COMMAND gzip -9n -c ${PROJECT_SOURCE_DIR}/docs/man/${name}.1 > ${page}
    DEPENDS ${PROJECT_SOURCE_DIR}/docs/man/${name}.1)
  add_custom_target(${name}_man_page ALL DEPENDS ${page})
  install(FILES ${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT proxy)
endfunction()

if(TARGET qmx-proxy)
  qmx_install_program(qmx-proxy)
  # qmx-replay comes with the proxy whose configuration it dry-runs.
  qmx_install_program(qmx-replay)
  install(FILES ${PROJECT_SOURCE_DIR}/examples/qmx-proxy.toml ${PROJECT_SOURCE_DIR}/examples/logrotate.conf
    ${PROJECT_SOURCE_DIR}/examples/policy.toml
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/qmx-proxy/examples COMPONENT proxy)
  # Absolute on purpose: systemd, logrotate and the unit's configuration path
  # live there whatever the prefix.
  configure_file(${PROJECT_SOURCE_DIR}/deploy/qmx-proxy.service.in
    ${PROJECT_BINARY_DIR}/qmx-proxy.service @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/qmx-proxy.service
    DESTINATION /lib/systemd/system COMPONENT proxy)
  install(FILES ${PROJECT_SOURCE_DIR}/deploy/qmx-proxy.toml
    DESTINATION /etc/qmx-proxy COMPONENT proxy)
  install(FILES ${PROJECT_SOURCE_DIR}/deploy/logrotate/qmx-proxy
    DESTINATION /etc/logrotate.d COMPONENT proxy)
endif()

# ---- CPack: three Debian packages on Linux, an SDK zip on Windows ----------
set(CPACK_PACKAGE_NAME qmx)
set(CPACK_PACKAGE_VENDOR "qmx")
set(CPACK_PACKAGE_CONTACT "qmx developers <qmx-dev@example.org>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "relay and filter OSCAR, MSN and YMSG traffic")
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME qmx-${PROJECT_VERSION}-win64-sdk)
  set(CPACK_ARCHIVE_COMPONENT_INSTALL OFF)
  set(CPACK_COMPONENTS_ALL lib dev)
else()
  set(CPACK_GENERATOR DEB)
  # Paths configured into the unit and qmx.pc must be where the package puts them.
  set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_GROUPING IGNORE)
  set(CPACK_COMPONENTS_ALL lib dev)
  if(TARGET qmx-proxy)
    list(APPEND CPACK_COMPONENTS_ALL proxy)
  endif()
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  # Every Debian package carries its own copyright and changelog.
  set(QMX_CHANGELOG ${PROJECT_BINARY_DIR}/changelog.gz)
  add_custom_command(OUTPUT ${QMX_CHANGELOG}
    COMMAND gzip -9n -c ${PROJECT_SOURCE_DIR}/deploy/debian/changelog > ${QMX_CHANGELOG}
    DEPENDS ${PROJECT_SOURCE_DIR}/deploy/debian/changelog)
  add_custom_target(qmx_changelog ALL DEPENDS ${QMX_CHANGELOG})
  foreach(pair lib:libqmx0 dev:libqmx-dev proxy:qmx-proxy)
    string(REPLACE ":" ";" pair ${pair})
    list(GET pair 0 component)
    list(GET pair 1 package)
    if(component STREQUAL proxy AND NOT TARGET qmx-proxy)
      continue()
    endif()
    install(FILES ${QMX_CHANGELOG} ${PROJECT_SOURCE_DIR}/deploy/debian/copyright
      DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${component})
  endforeach()
  set(CPACK_DEBIAN_PACKAGE_SECTION net)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # Only libqmx0 holds a shared object, so only it gets a shlibs file.
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
  # qmx-proxy links the libqmx.so.0 built beside it; its dependency on
  # libqmx0 is stated below, exactly.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR})
  set(QMX_DEB_EXACT "libqmx0 (= ${PROJECT_VERSION})")

  set(CPACK_DEBIAN_LIB_PACKAGE_NAME libqmx0)
  set(CPACK_DEBIAN_LIB_PACKAGE_SECTION libs)
  set(CPACK_DEBIAN_LIB_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/deploy/debian/libqmx0/triggers)
  set(CPACK_DEBIAN_LIB_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  set(CPACK_COMPONENT_LIB_DESCRIPTION "library that relays and filters instant-messaging traffic\n\
qmx cuts OSCAR (AIM/ICQ), MSN Messenger and YMSG (Yahoo Messenger) streams\n\
into units, shows logins, messages, file transfers and datacasts to its host\n\
for a policy decision, and rewrites message text with every length fixed.\n\
It never touches a socket: the host lends it I/O through callbacks.")

  set(CPACK_DEBIAN_DEV_PACKAGE_NAME libqmx-dev)
  set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
  set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS ${QMX_DEB_EXACT})
  set(CPACK_COMPONENT_DEV_DESCRIPTION "library that relays and filters instant-messaging traffic (development files)\n\
The C header, the CMake package (find_package(qmx), target qmx::qmx) and the\n\
pkg-config file for hosts that load libqmx.")

  set(CPACK_DEBIAN_PROXY_PACKAGE_NAME qmx-proxy)
  # deb-systemd-helper and deb-systemd-invoke, for the maintainer scripts.
  set(CPACK_DEBIAN_PROXY_PACKAGE_DEPENDS "${QMX_DEB_EXACT}, init-system-helpers (>= 1.54~)")
  set(CPACK_DEBIAN_PROXY_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/deploy/debian/qmx-proxy/conffiles
    ${PROJECT_SOURCE_DIR}/deploy/debian/qmx-proxy/postinst
    ${PROJECT_SOURCE_DIR}/deploy/debian/qmx-proxy/prerm
    ${PROJECT_SOURCE_DIR}/deploy/debian/qmx-proxy/postrm)
  set(CPACK_DEBIAN_PROXY_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  set(CPACK_COMPONENT_PROXY_DESCRIPTION "filtering SOCKS5 proxy for AIM/ICQ, MSN and Yahoo Messenger\n\
qmx-proxy puts the qmx filters in front of IM clients: policy per action,\n\
text replacement rules and a JSON-lines audit log, as a systemd service;\n\
qmx-replay dry-runs its configuration on captured traffic.")
endif()

include(CPack)
