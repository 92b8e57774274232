# Installation and the Debian package: the program and its tools, the desktop entry and icon, the
# manual pages and the README. Only a build that makes the program (not the tsan or fuzz presets)
# installs or packages anything.
if(NOT TARGET pagewright)
  return()
endif()

include(GNUInstallDirs)

set(PW_PACKAGING_DIR ${PROJECT_SOURCE_DIR}/packaging)
set(PW_DOCDIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/pagewright)
# The date the manual pages were last revised; it is printed in their footer.
set(PW_MAN_DATE "December 2026")

# The toolkit's project setup gives the program a run path for libraries shipped beside it; we ship
# none, and an installed program takes the system's libraries only.
set_target_properties(pagewright PROPERTIES INSTALL_RPATH "")
install(TARGETS pagewright RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
foreach(tool pagewright-fwu pagewright-sim)
  if(TARGET ${tool})
    install(TARGETS ${tool} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()

install(FILES ${PW_PACKAGING_DIR}/pagewright.desktop DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/applications)
install(FILES ${PW_PACKAGING_DIR}/pagewright.svg
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/icons/hicolor/scalable/apps)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PW_PACKAGING_DIR}/copyright DESTINATION ${PW_DOCDIR})
# The user guide, with the pictures it shows.
install(FILES ${PROJECT_SOURCE_DIR}/docs/USAGE.md DESTINATION ${PW_DOCDIR}/docs)
# The README shows the windows' pictures from docs/ beside it.
file(GLOB readme_pictures CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs/*.png)
if(readme_pictures)
  install(FILES ${readme_pictures} DESTINATION ${PW_DOCDIR}/docs)
endif()

# Bitmap icons for desktops that do not draw SVG, rendered from the SVG when a converter is at hand.
# ImageMagick's convert is only taken when it reads SVG through librsvg: its own SVG renderer paints
# the icon's gradients black. (Some machines also put a stand-in named convert on the PATH.)
find_program(PW_RSVG_CONVERT rsvg-convert)
find_program(PW_IMAGEMAGICK_CONVERT convert)
if(PW_IMAGEMAGICK_CONVERT AND NOT PW_RSVG_CONVERT)
  execute_process(COMMAND ${PW_IMAGEMAGICK_CONVERT} -list format OUTPUT_VARIABLE formats ERROR_QUIET
                  RESULT_VARIABLE formats_result)
  if(NOT formats_result EQUAL 0 OR NOT formats MATCHES "[ \t]SVG[ \t]+SVG[^\n]*RSVG")
    set(PW_IMAGEMAGICK_CONVERT PW_IMAGEMAGICK_CONVERT-NOTFOUND)
  endif()
endif()
set(icon_outputs)
foreach(size 48 256)
  set(png ${CMAKE_CURRENT_BINARY_DIR}/packaging/icons/${size}/pagewright.png)
  if(PW_RSVG_CONVERT)
    set(render ${PW_RSVG_CONVERT} --width=${size} --height=${size} --output=${png}
               ${PW_PACKAGING_DIR}/pagewright.svg)
  elseif(PW_IMAGEMAGICK_CONVERT)
    set(render ${PW_IMAGEMAGICK_CONVERT} -background none -density 384 ${PW_PACKAGING_DIR}/pagewright.svg
               -resize ${size}x${size} PNG32:${png})
  else()
    break()
  endif()
  add_custom_command(
    OUTPUT ${png}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/packaging/icons/${size}
    COMMAND ${render}
    DEPENDS ${PW_PACKAGING_DIR}/pagewright.svg
    COMMENT "Rendering the ${size}x${size} icon"
    VERBATIM)
  list(APPEND icon_outputs ${png})
  install(FILES ${png} DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/icons/hicolor/${size}x${size}/apps)
endforeach()
if(NOT icon_outputs)
  message(STATUS "No rsvg-convert, nor an ImageMagick convert that reads SVG through librsvg: only the SVG icon is installed")
endif()

# Manual pages, compressed as Debian installs them (gzip -9n: no name or time stamp in the file).
find_program(PW_GZIP gzip)
set(man_outputs)
foreach(page pagewright pagewright-fwu pagewright-sim)
  set(roff ${CMAKE_CURRENT_BINARY_DIR}/packaging/man/${page}.1)
  configure_file(${PW_PACKAGING_DIR}/man/${page}.1.in ${roff} @ONLY)
  if(PW_GZIP)
    add_custom_command(
      OUTPUT ${roff}.gz
      COMMAND ${PW_GZIP} -9n -c ${roff} > ${roff}.gz
      DEPENDS ${roff}
      COMMENT "Compressing the manual page ${page}(1)")
    list(APPEND man_outputs ${roff}.gz)
    install(FILES ${roff}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  else()
    install(FILES ${roff} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endif()
endforeach()

add_custom_target(pw_packaging_files ALL DEPENDS ${icon_outputs} ${man_outputs})

# The Debian package: cpack -G DEB in a release build.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME pagewright)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "RVK-318 Pagewright developers")
set(CPACK_PACKAGE_CONTACT "RVK-318 Pagewright developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware updater for the RVK-318 instrument over a serial port")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "RVK-318 Pagewright developers")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The window needs a display plugin of the toolkit; the X11 one is only a recommendation of the GUI library.
set(CPACK_DEBIAN_PACKAGE_DEPENDS qt6-qpa-plugins)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The long description; CPack puts the summary above it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Pagewright updates the firmware of the RVK-318 instrument. The technician
connects the instrument to a serial port, picks the update file (.fwu) and
the port, presses Start and switches the instrument on; the instrument's boot
loader then asks for the firmware page by page, while Pagewright checks the
versions it reports, answers each request with a checked frame, shows the
progress and reports the outcome.
.
The package also holds pagewright-fwu, which makes and inspects update files,
and pagewright-sim, which plays the instrument's boot loader on a virtual
serial port so that an update can be tried without an instrument.")

# A source archive would otherwise take in the build folders.
set(CPACK_SOURCE_GENERATOR TXZ)
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build/" "/fuzz/corpus-work/")

include(CPack)
