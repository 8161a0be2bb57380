# What `cmake --install` puts where, and what CPack makes of it: a Debian package on Linux, one
# zip per architecture on Windows (`cmake --workflow --preset deb|win32|win64`).
include(GNUInstallDirs)
if(WIN32)
  # Unpacked anywhere, the exes and the README sit side by side.
  install(TARGETS jmreader jmreader-sim RUNTIME DESTINATION .)
  install(FILES README.md DESTINATION .)
else()
  install(TARGETS jmreader jmreader-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES doc/jmreader.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()

set(CPACK_PACKAGE_NAME jmreader)
set(CPACK_PACKAGE_VENDOR Telgrove)
set(CPACK_PACKAGE_CONTACT "Telgrove" CACHE STRING "The packages' maintainer")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "JMicron USB bridge firmware and NVRAM reader")
set(CPACK_STRIP_FILES ON)
if(WIN32)
  # The width in the name as well as the processor, so that the two zips cannot be mixed up.
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(CPACK_PACKAGE_FILE_NAME jmreader-${PROJECT_VERSION}-win64-x86_64)
  else()
    set(CPACK_PACKAGE_FILE_NAME jmreader-${PROJECT_VERSION}-win32-i686)
  endif()
  set(CPACK_GENERATOR ZIP)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION admin)
  # Depends from the libraries the binaries link (dpkg-shlibdeps, package dpkg-dev).
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # The summary above is the first line; this is the rest.
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
      "Reads the firmware image and the 512-byte NVRAM configuration sector of a JMicron\n"
      "USB-to-SATA/NVMe bridge (the chip inside many USB disk enclosures) through SCSI\n"
      "pass-through on the disk's SCSI generic node, and writes a prepared NVRAM sector back.\n"
      "jmreader-sim is the same program over a simulated bridge.")
  string(JOIN "" CPACK_DEBIAN_PACKAGE_DESCRIPTION ${CPACK_DEBIAN_PACKAGE_DESCRIPTION})
endif()
include(CPack)
