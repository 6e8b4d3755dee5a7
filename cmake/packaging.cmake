# Install rules and the Debian package (cpack -G DEB in a build folder).
#
# One package, "mtr-main": the daemon, the configuration-server stand-in and the
# meter simulator, the man page, a template systemd unit (one instance per
# serial line) and examples. Host builds take their dependencies from
# dpkg-shlibdeps; the armhf cross build cannot (the target libraries are not
# installed on the host), so it lists them.

set(MTR_VERSION "1.3.35")
set(MTR_PKG_NAME "mtr-main")
set(MTR_DOC_DIR "share/doc/${MTR_PKG_NAME}")
set(MTR_PACKAGING_DIR "${CMAKE_CURRENT_LIST_DIR}/../packaging")
get_filename_component(MTR_PACKAGING_DIR "${MTR_PACKAGING_DIR}" ABSOLUTE)
# Units belong to systemd's system folder whatever the install prefix.
set(MTR_SYSTEMD_UNIT_DIR "/lib/systemd/system" CACHE PATH "Where the systemd unit is installed")

# Packaging installs only the programs; building every test first (the default
# dependency of install on all) would only cost time, above all in the cross build.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY TRUE)

set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
    GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

foreach(exe mtr_main mtr-metersim mtr-confsrv mtr-probe)
  if(TARGET ${exe})
    install(TARGETS ${exe} RUNTIME DESTINATION bin)
  endif()
endforeach()

# Debian wants man pages and the changelog compressed, reproducibly (-n: no
# name or time stamp in the header).
find_program(MTR_GZIP gzip REQUIRED)
set(MTR_GEN_DIR "${CMAKE_BINARY_DIR}/packaging")
file(MAKE_DIRECTORY "${MTR_GEN_DIR}")
set(MTR_COMPRESSED)
foreach(src mtr_main.1 mtr-confsrv.1 mtr-metersim.1 mtr-probe.1 changelog)
  set(dst "${src}.gz")
  add_custom_command(
    OUTPUT "${MTR_GEN_DIR}/${dst}"
    COMMAND ${CMAKE_COMMAND} -E copy "${MTR_PACKAGING_DIR}/${src}" "${MTR_GEN_DIR}/${src}"
    COMMAND ${MTR_GZIP} -9 -n -f "${MTR_GEN_DIR}/${src}"
    DEPENDS "${MTR_PACKAGING_DIR}/${src}"
    VERBATIM)
  list(APPEND MTR_COMPRESSED "${MTR_GEN_DIR}/${dst}")
endforeach()
add_custom_target(mtr_package_docs ALL DEPENDS ${MTR_COMPRESSED})

install(FILES "${MTR_GEN_DIR}/mtr_main.1.gz" "${MTR_GEN_DIR}/mtr-confsrv.1.gz"
        "${MTR_GEN_DIR}/mtr-metersim.1.gz" "${MTR_GEN_DIR}/mtr-probe.1.gz"
        DESTINATION share/man/man1)
install(FILES "${MTR_GEN_DIR}/changelog.gz" "${MTR_PACKAGING_DIR}/copyright"
        DESTINATION ${MTR_DOC_DIR})
file(GLOB MTR_EXAMPLES CONFIGURE_DEPENDS "${CMAKE_SOURCE_DIR}/examples/*.json")
install(FILES ${MTR_EXAMPLES} "${MTR_PACKAGING_DIR}/mtr_main.conf.example"
        DESTINATION ${MTR_DOC_DIR}/examples)
install(FILES "${MTR_PACKAGING_DIR}/mtr_main@.service" DESTINATION ${MTR_SYSTEMD_UNIT_DIR})

set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "${MTR_PKG_NAME}")
set(CPACK_PACKAGE_VERSION "${MTR_VERSION}")
set(CPACK_PACKAGE_VENDOR "mtr_main developers")
set(CPACK_PACKAGE_CONTACT "mtr_main developers <maintainers@users.noreply.c-seed-811c7c72.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "meter-polling daemon for data concentrators")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "mtr_main reads electricity meters over RS-232 and RS-485 serial lines
(Mercury 230 family binary protocol, IEC 61107 mode C, CE2727 binary
protocol, Modbus RTU) and leaves current values and archives as small text
files for the concentrator's reporter. One daemon serves one serial line;
the template unit mtr_main@.service runs one per line.
.
The package also carries mtr-confsrv, a stand-in for the configuration
server, mtr-metersim, a meter simulator on a pseudo-terminal, for
commissioning and tests, and mtr-probe, which finds the meters answering
on a serial line.")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION "utils")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
set(CPACK_DEBIAN_COMPRESSION_TYPE "xz")
# After installing or removing a unit, systemd has to reread its folders.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA "${MTR_PACKAGING_DIR}/postinst;${MTR_PACKAGING_DIR}/postrm")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

if(CMAKE_CROSSCOMPILING)
  if(CMAKE_LIBRARY_ARCHITECTURE STREQUAL "arm-linux-gnueabihf")
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE "armhf")
  else()
    message(WARNING "no Debian architecture known for ${CMAKE_LIBRARY_ARCHITECTURE}")
  endif()
  # What dpkg-shlibdeps finds for the host build; libgcc-s1 from 3.5 carries
  # the ARM unwinder entry points.
  set(CPACK_DEBIAN_PACKAGE_DEPENDS
      "libc6 (>= 2.34), libcpp-httplib0.11 (>= 0.11.4+ds), libcurl4 (>= 7.16.2), libgcc-s1 (>= 3.5), libjsoncpp25 (>= 1.9.5), libmodbus5 (>= 3.0.2), libstdc++6 (>= 11)")
else()
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()

include(CPack)
