# Runs cmake/TrevikSettings.cmake with the customer names given as -D values
# and compares the compile definitions it makes with EXPECT (a list, "|"
# between its items). A name that cannot be used must stop the script with
# its own message; the caller matches that message.
include(${ROOT}/cmake/TrevikSettings.cmake)
string(REPLACE "|" ";" expected "${EXPECT}")
if(NOT "${TREVIK_SETTING_DEFINES}" STREQUAL "${expected}")
  message(FATAL_ERROR "definitions [${TREVIK_SETTING_DEFINES}], expected [${expected}]")
endif()
