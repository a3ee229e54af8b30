# The documents of the dev package, installed under
# share/doc/libnorv-interop-dev/: the user's guide and the topic documents of
# docs/ as Markdown and as HTML (cmake/md2html.py, on Debian's
# python3-markdown), the examples, and the manual page norv-interop(7) for
# peers in other languages. They are installed by `cmake --install` too, so
# that every path an installed header or page names exists in either tree.
set(NORV_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/libnorv-interop-dev)

find_program(NORV_SYSTEM_PYTHON3 python3 PATHS /usr/bin NO_DEFAULT_PATH)
set(_norv_markdown FALSE)
if(NORV_SYSTEM_PYTHON3)
  execute_process(COMMAND ${NORV_SYSTEM_PYTHON3} -c "import markdown"
    RESULT_VARIABLE _norv_markdown_rc OUTPUT_QUIET ERROR_QUIET)
  if(_norv_markdown_rc EQUAL 0)
    set(_norv_markdown TRUE)
  endif()
endif()
file(GLOB _norv_docs CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs/*.md)
set(_norv_doc_out ${CMAKE_CURRENT_BINARY_DIR}/docs/html)
if(_norv_markdown)
  set(_norv_doc_outputs)
  foreach(doc IN LISTS _norv_docs)
    get_filename_component(name ${doc} NAME_WE)
    list(APPEND _norv_doc_outputs ${_norv_doc_out}/${name}.md ${_norv_doc_out}/${name}.html)
  endforeach()
  add_custom_command(OUTPUT ${_norv_doc_outputs}
    COMMAND ${NORV_SYSTEM_PYTHON3} ${PROJECT_SOURCE_DIR}/cmake/md2html.py ${_norv_doc_out}
      ${_norv_docs}
    DEPENDS ${_norv_docs} ${PROJECT_SOURCE_DIR}/cmake/md2html.py
    COMMENT "Writing the documents as HTML (python3-markdown)")
  add_custom_target(norv_docs ALL DEPENDS ${_norv_doc_outputs})
  install(FILES ${_norv_doc_outputs} DESTINATION ${NORV_DOC_DIR} COMPONENT dev)
else()
  message(WARNING "python3-markdown not found: the documents are installed as Markdown only "
    "(`make deps` or `apt-get install python3-markdown` provides it)")
  install(FILES ${_norv_docs} DESTINATION ${NORV_DOC_DIR} COMPONENT dev)
endif()

# The examples, with their build files; no build output.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/ DESTINATION ${NORV_DOC_DIR}/examples
  COMPONENT dev)

# norv-interop(7), with the versions of protobuf and gRPC filled in.
configure_file(${PROJECT_SOURCE_DIR}/docs/man/norv-interop.7.in
  ${CMAKE_CURRENT_BINARY_DIR}/docs/man/norv-interop.7 @ONLY)
add_custom_command(OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/docs/man/norv-interop.7.gz
  COMMAND gzip -9nkf norv-interop.7
  DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/docs/man/norv-interop.7
  WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/docs/man
  COMMENT "Compressing the manual page norv-interop.7")
add_custom_target(norv_interop_manpage ALL DEPENDS
  ${CMAKE_CURRENT_BINARY_DIR}/docs/man/norv-interop.7.gz)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/docs/man/norv-interop.7.gz
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man7 COMPONENT dev)
