# Build settings: what differs between the customers this tool is built for.
# Each is a cache variable; an empty value keeps the default written in
# support/build_settings.h.
set(TREVIK_CUSTOMER_NAME "" CACHE STRING
  "Customer name (12 bytes; a shorter one is padded with blanks); empty keeps the default")
set(TREVIK_CUSTOMER_A_NAME "" CACHE STRING
  "Customer A's name in the version-file table (11 bytes; a shorter one is padded with blanks); empty: the first 11 bytes of the customer name")
set(TREVIK_VERSION_HOST_1 "" CACHE STRING "First version-server host; empty keeps the default")
set(TREVIK_VERSION_HOST_2 "" CACHE STRING "Second version-server host; empty keeps the default")

# Pads a name with blanks to exactly `bytes` bytes. CMake drops trailing
# blanks from -D values, and a name one byte short would make every package
# and unit compare unequal; a longer name cannot be what was meant.
function(trevik_fixed_width_name variable bytes out)
  set(value "${${variable}}")
  string(LENGTH "${value}" length)
  if(value MATCHES "[\"\\]")
    message(FATAL_ERROR "${variable} must not hold a quote or a backslash.")
  endif()
  if(length GREATER bytes)
    message(FATAL_ERROR
      "${variable} is \"${value}\" (${length} bytes); it must be at most ${bytes} bytes.")
  endif()
  while(length LESS bytes)
    string(APPEND value " ")
    math(EXPR length "${length} + 1")
  endwhile()
  set(${out} "${value}" PARENT_SCOPE)
endfunction()

set(TREVIK_SETTING_DEFINES "")
# 21 blanks, where they survive, are the name of a tool without customer.
string(REPEAT " " 21 no_customer)
if("${TREVIK_CUSTOMER_NAME}" STREQUAL "${no_customer}")
  list(APPEND TREVIK_SETTING_DEFINES "TREVIK_CUSTOMER_NAME=\"${no_customer}\"")
elseif(NOT TREVIK_CUSTOMER_NAME STREQUAL "")
  trevik_fixed_width_name(TREVIK_CUSTOMER_NAME 12 customer_name)
  list(APPEND TREVIK_SETTING_DEFINES "TREVIK_CUSTOMER_NAME=\"${customer_name}\"")
endif()
# Without a value of its own, customer A's name follows the customer name in
# the header, so the tool's own units find their version file.
if(NOT TREVIK_CUSTOMER_A_NAME STREQUAL "")
  trevik_fixed_width_name(TREVIK_CUSTOMER_A_NAME 11 customer_a_name)
  list(APPEND TREVIK_SETTING_DEFINES "TREVIK_CUSTOMER_A_NAME=\"${customer_a_name}\"")
endif()
if(TREVIK_VERSION_HOST_1)
  list(APPEND TREVIK_SETTING_DEFINES "TREVIK_VERSION_HOST_1=\"${TREVIK_VERSION_HOST_1}\"")
endif()
if(TREVIK_VERSION_HOST_2)
  list(APPEND TREVIK_SETTING_DEFINES "TREVIK_VERSION_HOST_2=\"${TREVIK_VERSION_HOST_2}\"")
endif()
