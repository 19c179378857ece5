# trevik's Debian packages from the install rules (scripts/package.sh, or the
# `package` target of any build folder), one per install component, split as
# a terminal-only user needs them:
#   trevik-cli    (component cli)    trevik-cli, the udev rule, its man page
#                                    and bash completion; no Qt, no fonts
#   trevik        (component window) the window with its desktop entry,
#                                    icons, metainfo and the .dqv file type
#   trevik-tools  (component tools)  the emulated unit and the package builder
# Installed under /usr, binaries stripped (built hardened, see
# TrevikHardening.cmake), each package's library dependencies found by
# dpkg-shlibdeps in its own files.
set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_PACKAGE_NAME trevik)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The Trevik developers")
set(CPACK_PACKAGE_CONTACT "${TREVIK_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SOURCE trevik)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
# A package depends on the packages of the components it names, at the same
# version.
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)

# Each description's first line is the package's synopsis.
set(_trevik_about
    "Trevik keeps an in-car GPS speed-camera and radar-detector unit that hangs\n"
    "on USB as a HID device up to date and configures it: it writes update\n"
    "packages (.dqv files) into the unit's flash, merges per-province camera\n"
    "databases and edits the unit's settings.\n\n")

set(CPACK_DEBIAN_CLI_PACKAGE_NAME trevik-cli)
set(CPACK_DEBIAN_CLI_DESCRIPTION
    "updates and configures an in-car GPS speed-camera unit (command line)\n"
    ${_trevik_about}
    "This package holds the command-line tool for scripts and terminals,\n"
    "trevik-cli, with the udev rule that opens the unit to the user at the\n"
    "seat. It needs neither Qt nor a desktop.")
# Its shell completion is of use only where bash-completion loads it.
set(CPACK_DEBIAN_CLI_PACKAGE_SUGGESTS "bash-completion")
# The udev rule takes effect on install and removal.
set(CPACK_DEBIAN_CLI_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/res/linux/debian/postinst ${PROJECT_SOURCE_DIR}/res/linux/debian/postrm)

set(CPACK_DEBIAN_WINDOW_PACKAGE_NAME trevik)
set(CPACK_COMPONENT_WINDOW_DEPENDS cli)
set(CPACK_DEBIAN_WINDOW_DESCRIPTION
    "updates and configures an in-car GPS speed-camera unit (window)\n"
    ${_trevik_about}
    "This package holds the window, trevik, with its desktop entry, icon,\n"
    "AppStream metainfo and the file type of update packages. The\n"
    "command-line tool comes with it, in trevik-cli.")
# The province map names provinces in Chinese: without a CJK font each name
# is a row of boxes. dpkg-shlibdeps adds the libraries' packages after it.
set(CPACK_DEBIAN_WINDOW_PACKAGE_DEPENDS "fonts-noto-cjk | fonts-wqy-microhei")
# A unit still in its storage mode shows up as a USB drive; the window hands
# that drive back through UDisks2 so the unit comes back as its HID device.
set(CPACK_DEBIAN_WINDOW_PACKAGE_RECOMMENDS "udisks2")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME trevik-tools)
set(CPACK_DEBIAN_TOOLS_DESCRIPTION
    "emulated speed-camera unit and test package builder for Trevik\n"
    ${_trevik_about}
    "This package holds the tools for tests, demos and a shop's bench:\n"
    "trevik-unit-sim serves an emulated unit on a Unix socket, and\n"
    "trevik-pkgbuild writes test update packages.")
# Both serve trevik-cli and the window.
set(CPACK_DEBIAN_TOOLS_PACKAGE_RECOMMENDS "trevik-cli")

foreach(_comp CLI WINDOW TOOLS)
  string(REPLACE ";" "" CPACK_DEBIAN_${_comp}_DESCRIPTION "${CPACK_DEBIAN_${_comp}_DESCRIPTION}")
endforeach()
# Without the window (-DTREVIK_GUI=OFF) there is no trevik package.
set(CPACK_COMPONENTS_ALL cli tools)
if(TREVIK_GUI)
  list(PREPEND CPACK_COMPONENTS_ALL window)
endif()
# Not package/: that is the package module's own build folder.
set(CPACK_OUTPUT_FILE_PREFIX ${PROJECT_BINARY_DIR}/deb)
include(CPack)
