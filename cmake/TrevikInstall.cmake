# What `cmake --install` puts in place besides the programs and the udev
# rule: the desktop entry, icons, AppStream metainfo, the package file type,
# man pages, the shell completion and the documents. Every rule names the
# component, and so the Debian package, its file belongs to
# (TrevikPackage.cmake): cli (trevik-cli), window (trevik), tools
# (trevik-tools). Each package keeps its documents in share/doc/PACKAGE.
set(TREVIK_SCREENSHOT_URL "" CACHE STRING
    "Web folder holding screenshot.png, screenshot_config.png and screenshot_province.png for the AppStream metainfo (empty: no screenshots)")
set(TREVIK_APPSTREAM_ID org.trevik.trevik)

set(_linux ${PROJECT_SOURCE_DIR}/res/linux)
# Software centres fetch the screenshots, and appstreamcli validate checks
# that they exist: they are listed only where a real web folder holds them.
set(TREVIK_METAINFO_SCREENSHOTS "")
if(TREVIK_SCREENSHOT_URL)
  set(_shots
      "screenshot.png|The window attached to a unit, with its GPS data date in the title"
      "screenshot_config.png|The Setting dialog: radar bands, time zone, screen hours and the data connection"
      "screenshot_province.png|The province map of a per-province package")
  string(APPEND TREVIK_METAINFO_SCREENSHOTS "  <screenshots>\n")
  set(_type " type=\"default\"")
  foreach(_shot IN LISTS _shots)
    string(REPLACE "|" ";" _shot "${_shot}")
    list(GET _shot 0 _file)
    list(GET _shot 1 _caption)
    string(APPEND TREVIK_METAINFO_SCREENSHOTS
           "    <screenshot${_type}>\n      <caption>${_caption}</caption>\n"
           "      <image>${TREVIK_SCREENSHOT_URL}/${_file}</image>\n    </screenshot>\n")
    set(_type "")
  endforeach()
  string(APPEND TREVIK_METAINFO_SCREENSHOTS "  </screenshots>\n")
endif()
configure_file(${_linux}/trevik.metainfo.xml.in
               ${PROJECT_BINARY_DIR}/${TREVIK_APPSTREAM_ID}.metainfo.xml @ONLY)

# The desktop's files belong to the window: the entry opens .dqv packages
# in it, and the metainfo and the file type name it.
if(TREVIK_GUI)
  install(FILES ${_linux}/trevik.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications
          COMPONENT window)
  install(FILES ${PROJECT_BINARY_DIR}/${TREVIK_APPSTREAM_ID}.metainfo.xml
          DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo COMPONENT window)
  install(FILES ${_linux}/trevik-mime.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/mime/packages
          RENAME trevik.xml COMPONENT window)
  install(FILES ${_linux}/trevik.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps
          COMPONENT window)
  install(FILES ${PROJECT_SOURCE_DIR}/res/trevik.png
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/64x64/apps COMPONENT window)
  install(FILES ${PROJECT_SOURCE_DIR}/res/province_map.NOTICE DESTINATION ${CMAKE_INSTALL_DOCDIR}
          COMPONENT window)
endif()
install(FILES ${_linux}/trevik-cli.bash DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
        RENAME trevik-cli COMPONENT cli)
# The README covers every program; trevik-cli is the package each user has.
set(TREVIK_CLI_DOCDIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/trevik-cli)
set(TREVIK_TOOLS_DOCDIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/trevik-tools)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE
        DESTINATION ${TREVIK_CLI_DOCDIR} COMPONENT cli)

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
set(_docs ${_linux}/debian/copyright ${PROJECT_BINARY_DIR}/debian/changelog.gz)
install(FILES ${_docs} DESTINATION ${TREVIK_CLI_DOCDIR} COMPONENT cli)
install(FILES ${_docs} DESTINATION ${TREVIK_TOOLS_DOCDIR} COMPONENT tools)
if(TREVIK_GUI)
  install(FILES ${_docs} DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT window)
endif()

# Man pages from the programs' own --help and --version, so they cannot
# drift from the options. The sanitizer build skips them: its programs are
# not the ones installed.
find_program(HELP2MAN help2man)
if(HELP2MAN AND NOT TREVIK_SANITIZE AND NOT TREVIK_FUZZ)
  set(_man_pages)
  set(_man_programs trevik-cli trevik-unit-sim trevik-pkgbuild)
  set(_man_component_trevik window)
  set(_man_component_trevik-cli cli)
  set(_man_component_trevik-unit-sim tools)
  set(_man_component_trevik-pkgbuild tools)
  if(TREVIK_GUI)
    list(APPEND _man_programs trevik)
  endif()
  set(_desc_trevik "updates and configures the GPS speed-camera unit (the window)")
  set(_desc_trevik-cli "updates and configures the GPS speed-camera unit from scripts and terminals")
  set(_desc_trevik-unit-sim "serves an emulated GPS speed-camera unit on a Unix socket")
  set(_desc_trevik-pkgbuild "writes test update packages")
  # Sections of their own (environment, files, examples) for the programs
  # that update units; res/linux/man/PROGRAM.h2m adds a program's own.
  set(_man_dir ${_linux}/man)
  set(_man_common_trevik ${_man_dir}/trevik-common.h2m)
  set(_man_common_trevik-cli ${_man_dir}/trevik-common.h2m)
  foreach(prog ${_man_programs})
    set(_page ${PROJECT_BINARY_DIR}/man/${prog}.1)
    set(_includes ${_man_common_${prog}})
    if(EXISTS ${_man_dir}/${prog}.h2m)
      list(APPEND _includes ${_man_dir}/${prog}.h2m)
    endif()
    # SEE ALSO: the other programs of the build, then the documents
    # installed beside them.
    set(_see_also)
    foreach(other ${_man_programs})
      if(NOT other STREQUAL prog)
        list(APPEND _see_also "\\fB${other}\\fR(1)")
      endif()
    endforeach()
    list(JOIN _see_also ",\n" _see_also)
    set(_see_also_file ${PROJECT_BINARY_DIR}/man/${prog}-see-also.h2m)
    file(WRITE ${_see_also_file}
         "[SEE ALSO]\n${_see_also}\n.PP\nREADME.md in ${CMAKE_INSTALL_PREFIX}/${TREVIK_CLI_DOCDIR} "
         "describes every program, the files they keep and what to do when a run fails.\n")
    list(APPEND _includes ${_see_also_file})
    add_custom_command(
      OUTPUT ${_page}.gz
      COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
      COMMAND sh ${PROJECT_SOURCE_DIR}/cmake/make_man.sh ${HELP2MAN} $<TARGET_FILE:${prog}>
              ${_page} "${_desc_${prog}}" ${_includes}
      COMMAND gzip -9n -f -k ${_page}
      DEPENDS ${prog} ${PROJECT_SOURCE_DIR}/cmake/make_man.sh ${_includes}
      COMMENT "Man page of ${prog}"
      VERBATIM)
    list(APPEND _man_pages ${_page}.gz)
    install(FILES ${_page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
            COMPONENT ${_man_component_${prog}})
  endforeach()
  add_custom_target(man_pages ALL DEPENDS ${_man_pages})
endif()

include(${CMAKE_CURRENT_LIST_DIR}/TrevikPackage.cmake)
