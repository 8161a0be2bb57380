# Windows resources of jmreader.exe: the application manifest (administrator rights for raw
# drive access, the supported systems so the version query tells the truth), embedded by the
# resource compiler as RT_MANIFEST 1.
enable_language(RC)

set(JMREADER_RC ${CMAKE_CURRENT_LIST_DIR}/jmreader.rc)
set(JMREADER_MANIFEST ${CMAKE_CURRENT_LIST_DIR}/jmreader.manifest)
set_source_files_properties(${JMREADER_RC} PROPERTIES
  OBJECT_DEPENDS ${JMREADER_MANIFEST}
  INCLUDE_DIRECTORIES ${CMAKE_CURRENT_LIST_DIR})
target_sources(jmreader PRIVATE ${JMREADER_RC})

if(MSVC)
  # The linker would otherwise write its own manifest (asInvoker) as resource 1 beside ours.
  target_link_options(jmreader PRIVATE /MANIFEST:NO)
endif()
