# Installation and the Debian package. Included once from the top-level CMakeLists.txt; the rules run
# deferred, at the end of the top-level directory, so they see every target whatever the order of
# inclusion, and leave out what this configuration does not build (the panel without Qt).
#
#   cmake --install build/default --prefix /usr/local     # panel, simulator, catalogues, menu entry
#   (cd build/default && cpack -G DEB)                    # dudovuz_<version>_<arch>.deb
#
# The panel looks for its catalogues in "locale" beside its executable, so the catalogues follow the
# panel's destination (see po/CMakeLists.txt). The panel's own install rule lives in app/.
#
# Every program listed in DUD_MAN_PAGES has its manual page in packaging/man/<program>.1, installed
# (compressed, as Debian wants it) with the program whenever this configuration builds it.

include_guard(GLOBAL)

set(DUD_PACKAGING_DIR ${CMAKE_CURRENT_LIST_DIR}/../packaging)
set(DUD_MAN_PAGES dudovuz relaysim relayctl relaymqtt)

# Compresses a file of packaging/ into the build tree as Debian wants it (gzip -9n: best compression,
# no name or time stamp, so the package is reproducible) and installs it as <destination>/<name>.gz.
function(dud_install_gzipped source destination name)
  set(copy ${CMAKE_BINARY_DIR}/packaging/${name})
  add_custom_command(OUTPUT ${copy}.gz
                     COMMAND ${CMAKE_COMMAND} -E copy ${source} ${copy}
                     COMMAND ${DUD_GZIP} -9nf ${copy}
                     DEPENDS ${source}
                     COMMENT "Compressing ${name}"
                     VERBATIM)
  set_property(GLOBAL APPEND PROPERTY DUD_GZIPPED ${copy}.gz)
  install(FILES ${copy}.gz DESTINATION ${destination})
endfunction()

function(dud_packaging_rules)
  find_program(DUD_GZIP gzip REQUIRED)
  if(TARGET relaysim)
    install(TARGETS relaysim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
  foreach(program ${DUD_MAN_PAGES})
    if(TARGET ${program})
      dud_install_gzipped(${DUD_PACKAGING_DIR}/man/${program}.1 ${CMAKE_INSTALL_MANDIR}/man1 ${program}.1)
    endif()
  endforeach()
  # A native package: its changelog is changelog.gz, and its newest entry names the project's version.
  file(STRINGS ${DUD_PACKAGING_DIR}/changelog newest LIMIT_COUNT 1)
  if(NOT newest MATCHES "^dudovuz \\(${PROJECT_VERSION}\\) ")
    message(FATAL_ERROR "packaging/changelog starts with \"${newest}\"; "
                        "its newest entry must be for version ${PROJECT_VERSION}")
  endif()
  dud_install_gzipped(${DUD_PACKAGING_DIR}/changelog ${CMAKE_INSTALL_DOCDIR} changelog)
  install(FILES ${DUD_PACKAGING_DIR}/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
  get_property(gzipped GLOBAL PROPERTY DUD_GZIPPED)
  add_custom_target(package_docs ALL DEPENDS ${gzipped})
  if(TARGET relaymqtt)
    # One service per board (relaymqtt@<board>), with an example of its settings file. Debian 12 keeps
    # the units of packages in /lib/systemd/system.
    install(FILES ${DUD_PACKAGING_DIR}/systemd/relaymqtt@.service DESTINATION /lib/systemd/system)
    install(FILES ${DUD_PACKAGING_DIR}/relaymqtt.ini DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
  endif()
  if(TARGET dudovuz)
    install(FILES ${DUD_PACKAGING_DIR}/dudovuz.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
    install(FILES ${DUD_PACKAGING_DIR}/dudovuz.svg
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
  endif()

  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGE_NAME dudovuz)
  set(CPACK_PACKAGE_VENDOR "DUD Ovuz team")
  set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "control panel for a serial relay board")
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_STRIP_FILES ON)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER
      "DUD Ovuz maintainers <maintainers@users.noreply.c-seed-7dfcdde0.example>")
  set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # The run-time libraries (Qt, the C++ library) are found by dpkg-shlibdeps from the binaries.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # The window's fonts ("MS Sans Serif", "Courier New") are drawn with Liberation Sans Narrow and
  # Liberation Mono, which fit the widths of the form.
  set(CPACK_DEBIAN_PACKAGE_DEPENDS fonts-liberation)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  # The long description; CPack puts the summary above it and indents its lines for the control file.
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
      "DUD Ovuz drives a relay board over a serial line (in practice a USB-to-serial
adapter): it switches relays for good or for some seconds, arms and disarms
the alarm, switches the board's reports on or off and queries its inputs.
Every command and answer is described in Czech in a console, and the board's
state shows as coloured lamps.
.
The package also holds relayctl, which drives the board from the command
line and from scripts; relaymqtt, which puts the board on an MQTT broker
with Home Assistant discovery, one systemd service per board; and
relaysim, a simulator of the board on a pseudo-terminal, for trying the
panel without hardware. Users need to be in the dialout group to open
real serial ports.")
  include(CPack)
endfunction()

cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL dud_packaging_rules)
