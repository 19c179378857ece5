# Build settings: what differs between the customers this tool is built for.
# Each is a cache variable; an empty value keeps the default written in
# support/build_settings.h.
set(TREVIK_CUSTOMER_NAME "" CACHE STRING "Customer name (12 characters); empty keeps the default")
set(TREVIK_VERSION_HOST_1 "" CACHE STRING "First version-server host; empty keeps the default")
set(TREVIK_VERSION_HOST_2 "" CACHE STRING "Second version-server host; empty keeps the default")

set(TREVIK_SETTING_DEFINES "")
if(TREVIK_CUSTOMER_NAME)
  list(APPEND TREVIK_SETTING_DEFINES "TREVIK_CUSTOMER_NAME=\"${TREVIK_CUSTOMER_NAME}\"")
endif()
if(TREVIK_VERSION_HOST_1)
  list(APPEND TREVIK_SETTING_DEFINES "TREVIK_VERSION_HOST_1=\"${TREVIK_VERSION_HOST_1}\"")
endif()
if(TREVIK_VERSION_HOST_2)
  list(APPEND TREVIK_SETTING_DEFINES "TREVIK_VERSION_HOST_2=\"${TREVIK_VERSION_HOST_2}\"")
endif()
