# Folders include only downward. Run as a script (-DROOT=TREE -P this file)
# it reads every .h and .cpp of the folders below and stops with one line
# per include that points upward: the file, the include and the rule it
# breaks. Included with LAYERS_TABLE_ONLY set, it only defines the table
# (the build reads the folders from it).
#
# A file belongs to the layer of its per-file rule, else of its folder. It
# may include files of its own layer and of the layers its row names, and
# names a file of another folder from the root (no "../"). Includes of
# folders outside the table (system and third-party headers) are not
# checked. A folder may be named before it exists.

cmake_policy(VERSION 3.25)

# Layer          | folder      | may include (besides its own layer)
set(LAYERS
  "support       | support     | "
  "package       | package     | support"
  "config        | config      | support package"
  "device        | common_t73  | support package config"
  "config_device |             | support package config device"
  "online        | online      | support package config device"
  "update        | update      | support package config device config_device online"
  "controls      | controls    | support package config device config_device online update"
  "config_ui     |             | support package config device config_device online update controls"
  "province      | province    | support package config device config_device online update controls config_ui"
  "app           | app         | support package config device config_device online update controls config_ui province"
  "tools         | tools       | support package config device config_device online update")

# Files of a folder that sit in another layer for good (path from the root,
# a regular expression | layer). Columns are parted by " | ".
set(LAYER_FILE_RULES
  # The settings read from and written to a unit: config records over the
  # device link.
  "^config/machine_unit\\.(h|cpp)$                | config_device"
  # The configuration dialogs: Qt widgets on the controls.
  "^config/[^/]*(Dialog|Dlg)[^/]*\\.(h|cpp)$       | config_ui")

# Splits "a | b | c" (a bar with a space on each side) into the variables
# named after it, trimmed; a missing last part is "".
function(layers_split row)
  string(REPLACE " | " ";" parts "${row} ")
  list(LENGTH parts count)
  set(i 0)
  foreach(name ${ARGN})
    set(part "")
    if(i LESS count)
      list(GET parts ${i} part)
    endif()
    string(STRIP "${part}" part)
    set(${name} "${part}" PARENT_SCOPE)
    math(EXPR i "${i} + 1")
  endforeach()
endfunction()

# The folders of the table.
set(LAYER_FOLDERS "")
foreach(row ${LAYERS})
  layers_split("${row}" name folder allowed)
  if(folder)
    list(APPEND LAYER_FOLDERS ${folder})
  endif()
endforeach()

if(LAYERS_TABLE_ONLY)
  return()
endif()
if(NOT ROOT)
  message(FATAL_ERROR "check_layers.cmake: ROOT (the tree to check) is not set")
endif()

# The layer of a path from the root ("" outside the table) and where that
# comes from, for the message.
function(layer_of path out_layer out_source)
  foreach(row ${LAYER_FILE_RULES})
    layers_split("${row}" pattern layer)
    if(path MATCHES "${pattern}")
      set(${out_layer} ${layer} PARENT_SCOPE)
      set(${out_source} "file rule ${pattern}" PARENT_SCOPE)
      return()
    endif()
  endforeach()
  foreach(row ${LAYERS})
    layers_split("${row}" layer folder allowed)
    if(folder AND path MATCHES "^${folder}/")
      set(${out_layer} ${layer} PARENT_SCOPE)
      set(${out_source} "folder ${folder}/" PARENT_SCOPE)
      return()
    endif()
  endforeach()
  set(${out_layer} "" PARENT_SCOPE)
  set(${out_source} "" PARENT_SCOPE)
endfunction()

set(bad "")
foreach(folder ${LAYER_FOLDERS})
  file(GLOB_RECURSE files RELATIVE ${ROOT} ${ROOT}/${folder}/*.h ${ROOT}/${folder}/*.cpp)
  foreach(file ${files})
    layer_of(${file} layer source)
    set(allowed "")
    foreach(row ${LAYERS})
      layers_split("${row}" name folder_ allowed_)
      if(name STREQUAL layer)
        string(REPLACE " " ";" allowed "${allowed_}")
      endif()
    endforeach()
    file(STRINGS ${ROOT}/${file} includes REGEX "^[ \t]*#[ \t]*include[ \t]*[\"<][^\">]+/")
    foreach(line ${includes})
      string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*[\"<]([^\">]+)[\">].*" "\\1" target "${line}")
      if(target MATCHES "^\\.\\./")
        # A path that climbs out of its folder would pass unseen.
        string(APPEND bad "\n  ${file} includes \"${target}\": name a file of another folder"
          " from the root")
        continue()
      endif()
      layer_of(${target} target_layer target_source)
      if(NOT target_layer OR target_layer STREQUAL layer OR target_layer IN_LIST allowed)
        continue()
      endif()
      string(REPLACE ";" " " allowed_text "${allowed}")
      if(NOT allowed_text)
        set(allowed_text "nothing else")
      endif()
      string(APPEND bad "\n  ${file} includes \"${target}\" (layer ${target_layer}, ${target_source}):"
        " layer ${layer} (${source}) may include only ${allowed_text}")
    endforeach()
  endforeach()
endforeach()

if(bad)
  message(FATAL_ERROR "Includes that point upward (table in tests/check_layers.cmake):${bad}")
endif()
