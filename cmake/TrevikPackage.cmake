# trevik's Debian package from the install rules (scripts/package.sh, or the
# `package` target of any build folder): installed under /usr, binaries
# stripped (built hardened, see TrevikHardening.cmake), library dependencies
# found by dpkg-shlibdeps, and maintainer scripts that reload the udev rules.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME trevik)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The Trevik developers")
set(CPACK_PACKAGE_CONTACT "${TREVIK_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "updates and configures an in-car GPS speed-camera unit")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Trevik keeps an in-car GPS speed-camera and radar-detector unit that hangs\n"
    "on USB as a HID device up to date and configures it: it writes update\n"
    "packages (.dqv files) into the unit's flash, merges per-province camera\n"
    "databases and edits the unit's settings. It comes as a window (trevik)\n"
    "and as a command-line tool for scripts (trevik-cli), with an emulated\n"
    "unit and a package builder for tests.")
string(REPLACE ";" "" CPACK_DEBIAN_PACKAGE_DESCRIPTION "${CPACK_DEBIAN_PACKAGE_DESCRIPTION}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The province map names provinces in Chinese: without a CJK font each name
# is a row of boxes. dpkg-shlibdeps adds the libraries' packages after it.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "fonts-noto-cjk | fonts-wqy-microhei")
# The unit's drive is handed back through UDisks2.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "udisks2")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/res/linux/debian/postinst ${PROJECT_SOURCE_DIR}/res/linux/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
# Not package/: that is the package module's own build folder.
set(CPACK_OUTPUT_FILE_PREFIX ${PROJECT_BINARY_DIR}/deb)
include(CPack)
