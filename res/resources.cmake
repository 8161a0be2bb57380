# Windows resources. Both exes carry a version resource (what Windows shows in a file's
# properties); jmreader.exe also carries its application manifest (administrator rights for raw
# drive access, the supported systems so the version query tells the truth) as RT_MANIFEST 1.
# jmreader-sim needs no privilege and so no manifest.
enable_language(RC)

configure_file(${CMAKE_CURRENT_LIST_DIR}/jmreader.manifest.in ${JMREADER_GENERATED}/jmreader.manifest
               @ONLY)
foreach(exe jmreader jmreader-sim)
  set(rc ${CMAKE_CURRENT_LIST_DIR}/${exe}.rc)
  set_source_files_properties(${rc} PROPERTIES
    OBJECT_DEPENDS "${CMAKE_CURRENT_LIST_DIR}/version.rc;${JMREADER_GENERATED}/jmreader_version.h;${JMREADER_GENERATED}/jmreader.manifest"
    INCLUDE_DIRECTORIES "${CMAKE_CURRENT_LIST_DIR};${JMREADER_GENERATED}")
  target_sources(${exe} PRIVATE ${rc})
endforeach()

if(MSVC)
  # The linker would otherwise write its own manifest (asInvoker) as resource 1 beside ours.
  target_link_options(jmreader PRIVATE /MANIFEST:NO)
endif()
