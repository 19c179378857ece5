# The layer check on small trees made here (under WORK): each case writes a
# few files holding one include each, runs tests/check_layers.cmake on them
# and expects it to pass, or to fail naming the file, the include and the
# rule it breaks.
cmake_policy(VERSION 3.25)
set(script ${CMAKE_CURRENT_LIST_DIR}/check_layers.cmake)
set(failed "")

# layer_case(NAME EXPECT FILE=INCLUDE...): EXPECT is "passes" or a text the
# failure must show.
function(layer_case name expect)
  set(tree ${WORK}/${name})
  file(REMOVE_RECURSE ${tree})
  foreach(pair ${ARGN})
    string(REPLACE "=" ";" parts "${pair}")
    list(GET parts 0 path)
    list(GET parts 1 include)
    file(APPEND ${tree}/${path} "#include \"${include}\"\n")
  endforeach()
  execute_process(COMMAND ${CMAKE_COMMAND} -DROOT=${tree} -P ${script}
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(expect STREQUAL "passes")
    if(NOT rc EQUAL 0)
      set(failed "${failed}\n${name}: expected to pass, failed with:\n${out}" PARENT_SCOPE)
    endif()
    return()
  endif()
  string(FIND "${out}" "${expect}" at)
  if(rc EQUAL 0 OR at EQUAL -1)
    set(failed "${failed}\n${name}: expected a failure showing\n  ${expect}\ngot (exit ${rc}):\n${out}"
      PARENT_SCOPE)
  endif()
endfunction()

# Downward, into a folder of the table that the tree does not have yet
# (update/), and outside the table.
layer_case(downward passes
  "support/io.h=support/bytes.h"
  "package/format.cpp=support/io.h"
  "common_t73/link.cpp=package/format.h"
  "common_t73/link.h=config/records.h"
  "online/fetch.cpp=common_t73/link.h"
  "update/run.cpp=online/fetch.h"
  "app/window.cpp=update/run.h"
  "tools/cli/main.cpp=update/run.h"
  "online/fetch.h=curl/curl.h")

layer_case(upward
  "package/bad.cpp includes \"online/fetch.h\" (layer online, folder online/): layer package (folder package/) may include only support"
  "package/format.cpp=support/io.h"
  "package/bad.cpp=online/fetch.h")

layer_case(bottom_includes_nothing
  "support/io.h includes \"package/format.h\" (layer package, folder package/): layer support (folder support/) may include only nothing else"
  "support/io.h=package/format.h")

# The front ends are siblings: trevik-cli does not include the window's
# folder.
layer_case(cli_into_window
  "tools/cli/main.cpp includes \"app/window.h\" (layer app, folder app/): layer tools (folder tools/) may include only"
  "tools/cli/main.cpp=app/window.h")

layer_case(climbs_out
  "package/format.cpp includes \"../online/fetch.h\": name a file of another folder from the root"
  "package/format.cpp=../online/fetch.h")

# A file rule counts on both sides of an include: config/machine_unit sits
# above the device link, which may include config's records only.
layer_case(file_rule_allows passes
  "config/machine_unit.cpp=common_t73/link.h"
  "common_t73/link.cpp=config/records.h")
layer_case(file_rule_below_device
  "common_t73/link.cpp includes \"config/machine_unit.h\" (layer config_device, file rule"
  "common_t73/link.cpp=config/machine_unit.h")
layer_case(records_above_device
  "config/records.cpp includes \"common_t73/link.h\" (layer device, folder common_t73/): layer config (folder config/) may include only support package"
  "config/records.cpp=common_t73/link.h")

if(failed)
  message(FATAL_ERROR "Layer check cases failed:${failed}")
endif()
