# Installs Keyflip where desktops look for it, and describes its Debian
# package: `cpack -G DEB` in the build folder, or scripts/package.
include(GNUInstallDirs)

set(KEYFLIP_PACKAGE_MAINTAINER "Keyflip maintainers <keyflip@example.org>"
    CACHE STRING "Maintainer field of the Debian package")

# Folders readable by all whatever the umask of the one who installs or packages.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
install(TARGETS keyflip RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES data/${KEYFLIP_APP_ID}.desktop
    DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES data/${KEYFLIP_APP_ID}.metainfo.xml
    DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
# The window icon drawn at 1, 2 and 4 times its size without smoothing.
install(DIRECTORY data/icons/ DESTINATION ${CMAKE_INSTALL_DATADIR}/icons)
install(FILES README.md LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR})

# The Debian copyright file, in the machine-readable format, made from LICENSE
# so that the licence text is written in one place. In its paragraphs an
# empty line is written " .".
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS LICENSE)
file(READ LICENSE KEYFLIP_LICENSE_TEXT)
string(REGEX MATCH "Copyright \\(c\\) ([^\n]*)" _ "${KEYFLIP_LICENSE_TEXT}")
set(KEYFLIP_COPYRIGHT "${CMAKE_MATCH_1}")
string(REGEX REPLACE "^MIT License\n\nCopyright[^\n]*\n\n" "" KEYFLIP_LICENSE_TEXT
    "${KEYFLIP_LICENSE_TEXT}")
string(REGEX REPLACE "\n$" "" KEYFLIP_LICENSE_TEXT "${KEYFLIP_LICENSE_TEXT}")
string(REPLACE "\n\n" "\n.\n" KEYFLIP_LICENSE_TEXT "${KEYFLIP_LICENSE_TEXT}")
string(REPLACE "\n" "\n " KEYFLIP_LICENSE_TEXT "${KEYFLIP_LICENSE_TEXT}")
configure_file(data/copyright.in copyright @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})

# The manual page and the changelog are installed compressed, without a time
# stamp, so the package is the same from one build to the next.
configure_file(data/keyflip.1.in keyflip.1 @ONLY)
configure_file(data/changelog.in changelog @ONLY)
foreach(document IN ITEMS keyflip.1 changelog)
    add_custom_command(
        OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/${document}.gz
        COMMAND gzip -9nfk ${CMAKE_CURRENT_BINARY_DIR}/${document}
        DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/${document}
        VERBATIM)
endforeach()
add_custom_target(keyflip_documents ALL
    DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/keyflip.1.gz ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/keyflip.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME keyflip)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${KEYFLIP_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "MIDI filter that transposes, mirrors and remaps notes live")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Keyflip sits between one MIDI input and one MIDI output. Every short message\n"
    "passes through three rules: notes are transposed up by 0 to 12 semitones, an\n"
    "optional mirror plays the keyboard upside down, and the modulation wheel on\n"
    "channel 1 becomes notes of one chosen pitch. It works with the ALSA sequencer\n"
    "and with JACK.")
string(REPLACE ";" "" CPACK_DEBIAN_PACKAGE_DESCRIPTION "${CPACK_DEBIAN_PACKAGE_DESCRIPTION}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Named for the reader; dpkg-shlibdeps adds the rest (C and C++ libraries,
# Qt Core and Gui) with their versions.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libqt6widgets6, libasound2, libjack-jackd2-0 | libjack0")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
