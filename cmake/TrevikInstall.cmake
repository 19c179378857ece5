# What `cmake --install` puts in place besides the programs and the udev
# rule: the desktop entry, icons, AppStream metainfo, the package file type,
# man pages, the shell completion and the documents.
set(TREVIK_SCREENSHOT_URL "https://trevik.invalid/screenshots" CACHE STRING
    "Web folder holding screenshot.png, screenshot_config.png and screenshot_province.png for the AppStream metainfo")
set(TREVIK_APPSTREAM_ID org.trevik.trevik)

set(_linux ${PROJECT_SOURCE_DIR}/res/linux)
configure_file(${_linux}/trevik.metainfo.xml.in
               ${PROJECT_BINARY_DIR}/${TREVIK_APPSTREAM_ID}.metainfo.xml @ONLY)

install(FILES ${_linux}/trevik.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${PROJECT_BINARY_DIR}/${TREVIK_APPSTREAM_ID}.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
install(FILES ${_linux}/trevik-mime.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/mime/packages
        RENAME trevik.xml)
install(FILES ${_linux}/trevik.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
install(FILES ${PROJECT_SOURCE_DIR}/res/trevik.png
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/64x64/apps)
install(FILES ${_linux}/trevik-cli.bash DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
        RENAME trevik-cli)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES ${PROJECT_SOURCE_DIR}/res/province_map.NOTICE DESTINATION ${CMAKE_INSTALL_DOCDIR})

# The machine-readable copyright and the changelog, as Debian keeps them.
set(TREVIK_PACKAGE_MAINTAINER "Trevik developers <trevik@packages.invalid>" CACHE STRING
    "Maintainer named in the package and its changelog")
configure_file(${_linux}/debian/changelog.in ${PROJECT_BINARY_DIR}/debian/changelog @ONLY)
add_custom_command(
  OUTPUT ${PROJECT_BINARY_DIR}/debian/changelog.gz
  COMMAND gzip -9n -f -k ${PROJECT_BINARY_DIR}/debian/changelog
  DEPENDS ${PROJECT_BINARY_DIR}/debian/changelog
  VERBATIM)
add_custom_target(debian_changelog ALL DEPENDS ${PROJECT_BINARY_DIR}/debian/changelog.gz)
install(FILES ${_linux}/debian/copyright ${PROJECT_BINARY_DIR}/debian/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

# Man pages from the programs' own --help and --version, so they cannot
# drift from the options. The sanitizer build skips them: its programs are
# not the ones installed.
find_program(HELP2MAN help2man)
if(HELP2MAN AND NOT TREVIK_SANITIZE AND NOT TREVIK_FUZZ)
  set(_man_pages)
  set(_man_programs trevik-cli trevik-unit-sim trevik-pkgbuild)
  if(TREVIK_GUI)
    list(APPEND _man_programs trevik)
  endif()
  set(_desc_trevik "updates and configures the GPS speed-camera unit (the window)")
  set(_desc_trevik-cli "updates and configures the GPS speed-camera unit from scripts and terminals")
  set(_desc_trevik-unit-sim "serves an emulated GPS speed-camera unit on a Unix socket")
  set(_desc_trevik-pkgbuild "writes test update packages")
  foreach(prog ${_man_programs})
    set(_page ${PROJECT_BINARY_DIR}/man/${prog}.1)
    add_custom_command(
      OUTPUT ${_page}.gz
      COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
      COMMAND sh ${PROJECT_SOURCE_DIR}/cmake/make_man.sh ${HELP2MAN} $<TARGET_FILE:${prog}>
              ${_page} "${_desc_${prog}}"
      COMMAND gzip -9n -f -k ${_page}
      DEPENDS ${prog} ${PROJECT_SOURCE_DIR}/cmake/make_man.sh
      COMMENT "Man page of ${prog}"
      VERBATIM)
    list(APPEND _man_pages ${_page}.gz)
  endforeach()
  add_custom_target(man_pages ALL DEPENDS ${_man_pages})
  install(FILES ${_man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

include(${CMAKE_CURRENT_LIST_DIR}/TrevikPackage.cmake)
