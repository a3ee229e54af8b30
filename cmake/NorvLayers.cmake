# The layers of the tree (docs/architecture.md) as the build states them: a
# bridge sees services/, conversion/, base/, the exported headers and its own
# folder, and nothing else of the source tree; platform/ and the generated
# contract code are seen by the platform library alone.
#
# Sources include each other by their path from the root of the tree
# ("services/Text.h"), so a target that had the root on its include path
# could reach every folder. Instead each target gets a view: a directory in
# the build tree holding symbolic links to the folders it may use, and only
# those. An include of any other folder does not compile.

# norv_source_view(TARGET SCOPE FOLDER...): puts a view of FOLDER... (paths
# from the root of the tree) on TARGET's include path, with SCOPE (PRIVATE,
# PUBLIC or INTERFACE).
function(norv_source_view target scope)
  set(view ${PROJECT_BINARY_DIR}/source-views/${target})
  file(REMOVE_RECURSE ${view})
  file(MAKE_DIRECTORY ${view})
  foreach(folder IN LISTS ARGN)
    get_filename_component(parent ${view}/${folder} DIRECTORY)
    file(MAKE_DIRECTORY ${parent})
    file(CREATE_LINK ${PROJECT_SOURCE_DIR}/${folder} ${view}/${folder} SYMBOLIC)
  endforeach()
  target_include_directories(${target} ${scope} $<BUILD_INTERFACE:${view}>)
endfunction()

# norv_add_bridge(FOLDER): the bridge of one subsystem, the object library
# norv_bridge_FOLDER of FOLDER/*.cc. It links the service contracts, the
# conversion rules and base/, nothing else; which platform library (the
# shared one, or the static copy of the internal tests) implements the
# contracts is chosen by the program or library that takes the objects. Compiled with hidden
# visibility: only what the exported headers mark NORV_INTEROP_API leaves
# libnorv-interop.so.
function(norv_add_bridge folder)
  set(target norv_bridge_${folder})
  file(GLOB sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/${folder}/*.cc)
  add_library(${target} OBJECT ${sources})
  set_target_properties(${target} PROPERTIES
    CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
  target_compile_definitions(${target} PUBLIC NORV_INTEROP_BUILDING)
  norv_source_view(${target} PRIVATE ${folder})
  target_link_libraries(${target} PUBLIC norv_services norv_conversion norv_base)
  norv_target_warnings(${target})
  set_property(GLOBAL APPEND PROPERTY NORV_BRIDGE_TARGETS ${target})
endfunction()
