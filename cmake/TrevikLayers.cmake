# Folders include only downward (the table is in tests/check_layers.cmake).
# The check runs before anything of the project compiles and again whenever
# a source file of the table's folders changes; an include that points
# upward stops the build with the file, the include and the rule.
set(LAYERS_TABLE_ONLY ON)
include(${PROJECT_SOURCE_DIR}/tests/check_layers.cmake)
unset(LAYERS_TABLE_ONLY)

set(_layer_globs "")
foreach(_folder ${LAYER_FOLDERS})
  list(APPEND _layer_globs ${PROJECT_SOURCE_DIR}/${_folder}/*.h ${PROJECT_SOURCE_DIR}/${_folder}/*.cpp)
endforeach()
file(GLOB_RECURSE _layer_sources CONFIGURE_DEPENDS ${_layer_globs})
set(_layer_stamp ${PROJECT_BINARY_DIR}/layers_checked.stamp)
add_custom_command(OUTPUT ${_layer_stamp}
  COMMAND ${CMAKE_COMMAND} -DROOT=${PROJECT_SOURCE_DIR} -P ${PROJECT_SOURCE_DIR}/tests/check_layers.cmake
  COMMAND ${CMAKE_COMMAND} -E touch ${_layer_stamp}
  DEPENDS ${_layer_sources} ${PROJECT_SOURCE_DIR}/tests/check_layers.cmake
  COMMENT "Checking that folders include only downward"
  VERBATIM)
add_custom_target(trevik_layers ALL DEPENDS ${_layer_stamp})

# Every target of the project waits for the check, so building any one of
# them (scripts/build.sh TARGET) fails on an upward include too.
function(trevik_layers_guard dir)
  get_property(_targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
  foreach(_target ${_targets})
    get_target_property(_type ${_target} TYPE)
    if(NOT _target STREQUAL trevik_layers AND NOT _type STREQUAL INTERFACE_LIBRARY)
      add_dependencies(${_target} trevik_layers)
    endif()
  endforeach()
  get_property(_subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
  foreach(_subdir ${_subdirs})
    trevik_layers_guard(${_subdir})
  endforeach()
endfunction()
trevik_layers_guard(${PROJECT_SOURCE_DIR})
