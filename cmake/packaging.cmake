# What `cmake --install` puts where, and what CPack makes of it: a Debian package on Linux, one
# zip per architecture on Windows (`cmake --workflow --preset deb|win32|win64`).
include(GNUInstallDirs)
# Scenario files for jmreader-sim, ready to run: a fault-free bridge and two faults.
set(JMREADER_EXAMPLES doc/examples/bridge.txt doc/examples/stalled-block.txt
                      doc/examples/dropped-write.txt)
# The documents the README links to, installed where its links lead.
set(JMREADER_DOCUMENTS doc/building.md doc/departures.md doc/design.md doc/hardening.md
                       doc/jmreader-sim.md doc/packaging.md doc/usage.md)
if(WIN32)
  # Unpacked anywhere, the exes, the README and the licence sit side by side, the simulator's
  # examples in a folder beside them.
  install(TARGETS jmreader jmreader-sim RUNTIME DESTINATION .)
  install(FILES README.md LICENSE DESTINATION .)
  install(FILES ${JMREADER_EXAMPLES} DESTINATION examples)
  install(FILES ${JMREADER_DOCUMENTS} DESTINATION doc)
else()
  # jmreader needs root, like the disk tools it sits beside; jmreader-sim needs no privilege.
  install(TARGETS jmreader RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
  install(TARGETS jmreader-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
  install(FILES ${JMREADER_EXAMPLES} DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
  install(FILES ${JMREADER_DOCUMENTS} DESTINATION ${CMAKE_INSTALL_DOCDIR}/doc)

  # The man pages are made from their templates with the version filled in (the tests read them
  # there too), and installed compressed, without a time stamp in the gzip header so that the
  # same sources give the same package.
  set(pages)
  foreach(page jmreader.8 jmreader-sim.1)
    configure_file(doc/${page}.in ${JMREADER_GENERATED}/${page} @ONLY)
    add_custom_command(OUTPUT ${JMREADER_GENERATED}/${page}.gz
      COMMAND gzip -9n -c ${page} > ${page}.gz
      DEPENDS ${JMREADER_GENERATED}/${page}
      WORKING_DIRECTORY ${JMREADER_GENERATED})
    list(APPEND pages ${JMREADER_GENERATED}/${page}.gz)
  endforeach()
  install(FILES ${JMREADER_GENERATED}/jmreader.8.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
  install(FILES ${JMREADER_GENERATED}/jmreader-sim.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

  # The Debian package's own documents: the changelog (its latest entry must be this version)
  # and the licence in Debian's machine-readable copyright format, made from LICENSE.
  file(STRINGS doc/debian/changelog latest LIMIT_COUNT 1)
  if(NOT latest MATCHES "^jmreader \\(${JMREADER_VERSION}\\) ")
    message(FATAL_ERROR "doc/debian/changelog has no entry for ${JMREADER_VERSION} on top")
  endif()
  add_custom_command(OUTPUT ${JMREADER_GENERATED}/changelog.gz
    COMMAND gzip -9n -c ${CMAKE_CURRENT_SOURCE_DIR}/doc/debian/changelog > changelog.gz
    DEPENDS doc/debian/changelog
    WORKING_DIRECTORY ${JMREADER_GENERATED})
  file(READ LICENSE licence)
  # The permission text after the copyright line, each line indented, blank lines as " .".
  string(REGEX REPLACE "^.*Copyright [^\n]*\n\n" "" licence "${licence}")
  string(STRIP "${licence}" licence)
  string(REGEX REPLACE "\n\n" "\n.\n" licence "${licence}")
  string(REPLACE "\n" "\n " JMREADER_LICENSE_TEXT " ${licence}")
  configure_file(doc/debian/copyright.in ${JMREADER_GENERATED}/copyright @ONLY)
  add_custom_target(documents ALL DEPENDS ${pages} ${JMREADER_GENERATED}/changelog.gz)

  # `cmake --install` puts the licence beside the README; the .deb carries the copyright file
  # instead, with the changelog and lintian's overrides (see CPACK_INSTALL_CMAKE_PROJECTS).
  install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT licence)
  install(FILES ${JMREADER_GENERATED}/copyright ${JMREADER_GENERATED}/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT debian EXCLUDE_FROM_ALL)
  install(FILES doc/debian/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
          RENAME jmreader COMPONENT debian EXCLUDE_FROM_ALL)
endif()

set(CPACK_PACKAGE_NAME jmreader)
set(CPACK_PACKAGE_VERSION ${JMREADER_VERSION})
set(CPACK_PACKAGE_VENDOR "the jmreader developers")
# No contact address yet: the project's name, without one (lintian's override says so).
set(CPACK_PACKAGE_CONTACT "jmreader developers" CACHE STRING "The packages' maintainer")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "JMicron USB bridge firmware and NVRAM reader")
set(CPACK_STRIP_FILES ON)
if(WIN32)
  # The width in the name as well as the processor, so that the two zips cannot be mixed up.
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(CPACK_PACKAGE_FILE_NAME jmreader-${JMREADER_VERSION}-win64-x86_64)
  else()
    set(CPACK_PACKAGE_FILE_NAME jmreader-${JMREADER_VERSION}-win32-i686)
  endif()
  set(CPACK_GENERATOR ZIP)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION admin)
  # Everything `cmake --install` installs but LICENSE, and the Debian documents.
  set(CPACK_INSTALL_CMAKE_PROJECTS
      ${CMAKE_BINARY_DIR} jmreader Unspecified /
      ${CMAKE_BINARY_DIR} jmreader debian /)
  # Depends from the libraries the binaries link (dpkg-shlibdeps, package dpkg-dev).
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # The summary above is the first line; this is the rest, in lines lintian accepts (at most 80).
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
      "Reads the firmware image and the 512-byte NVRAM configuration sector of a\n"
      "JMicron USB-to-SATA/NVMe bridge (the chip inside many USB disk enclosures)\n"
      "through SCSI pass-through on the disk's SCSI generic node, and writes a\n"
      "prepared NVRAM sector back. jmreader-sim is the same program over a simulated\n"
      "bridge.")
  string(JOIN "" CPACK_DEBIAN_PACKAGE_DESCRIPTION ${CPACK_DEBIAN_PACKAGE_DESCRIPTION})
endif()
include(CPack)
