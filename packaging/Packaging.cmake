# Installation beyond the executable, and the Debian package (cpack -G DEB, or the `package` target).
#
# Layout under the install prefix (/usr for the package):
#   bin/tamberlo-joyrelay                                   (installed by the program's own CMakeLists)
#   share/tamberlo-joyrelay/web/                            the maker's pages
#   share/tamberlo-joyrelay/samples/demo.gip                the sample capture
#   share/applications/tamberlo-joyrelay.desktop           Exec= the installed binary's full path
#   share/metainfo/org.tamberlo.Joyrelay.metainfo.xml        the AppStream description
#   share/gnome-shell/extensions/joyrelay-focus@tamberlo/   the GNOME Shell focus extension
#   share/icons/hicolor/scalable/apps/tamberlo-joyrelay.svg
#   share/icons/hicolor/scalable/status/tamberlo-joyrelay-{idle,connected}.svg
#   share/man/man1/tamberlo-joyrelay.1.gz
#   share/doc/tamberlo-joyrelay/copyright
#   lib/udev/rules.d/70-tamberlo-joyrelay.rules             access to the stick and /dev/uinput
#   lib/modules-load.d/tamberlo-joyrelay.conf               loads uinput at boot
#
# udev reads rules from /usr/lib/udev/rules.d and /usr/local/lib/udev/rules.d, and systemd-modules-load
# the matching modules-load.d folders, so both stay relative to the prefix (not CMAKE_INSTALL_LIBDIR,
# which is multiarch on Debian).

set(JOYRELAY_UDEV_RULES_DIR "lib/udev/rules.d" CACHE STRING
  "Where the udev rules are installed, relative to the install prefix")
set(JOYRELAY_MODULES_LOAD_DIR "lib/modules-load.d" CACHE STRING
  "Where the modules-load.d entry for uinput is installed, relative to the install prefix")

set(_jr_pkg_dir ${CMAKE_CURRENT_LIST_DIR})
set(_jr_res_dir ${PROJECT_SOURCE_DIR}/Sources/TamberloJoyrelay/resources)
set(_jr_data_dir ${CMAKE_INSTALL_DATADIR}/tamberlo-joyrelay)

# A umask of 077 on the build machine must not leave the package with private folders.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# The maker's pages and the sample capture.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/web/
  DESTINATION ${_jr_data_dir}/web
  FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
  PATTERN ".*" EXCLUDE
  PATTERN "*~" EXCLUDE)
install(FILES ${PROJECT_SOURCE_DIR}/samples/demo.gip DESTINATION ${_jr_data_dir}/samples)

# Icons: the program's own in apps/, the tray's two controller symbols in status/.
install(FILES ${_jr_res_dir}/tamberlo-joyrelay.svg
  DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
install(FILES ${_jr_res_dir}/gamecontroller.svg
  DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/status
  RENAME tamberlo-joyrelay-idle.svg)
install(FILES ${_jr_res_dir}/gamecontroller-fill.svg
  DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/status
  RENAME tamberlo-joyrelay-connected.svg)

# The menu entry names the binary by its full path: KWin authorises its fake-input protocol for the
# executable whose path an entry's Exec= holds (X-KDE-Wayland-Interfaces).
set(JOYRELAY_INSTALLED_BINARY "${CMAKE_INSTALL_FULL_BINDIR}/tamberlo-joyrelay")
configure_file(${_jr_pkg_dir}/tamberlo-joyrelay.desktop ${CMAKE_BINARY_DIR}/packaging/tamberlo-joyrelay.desktop @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/packaging/tamberlo-joyrelay.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)

# The AppStream description software centres read. Its screenshot is docs/menu.png, which AppStream
# takes only from the web.
set(JOYRELAY_SCREENSHOT_URL "https://tamberlo-joyrelay.invalid/docs/menu.png" CACHE STRING
  "Web address of docs/menu.png, the screenshot in the AppStream description")
configure_file(${_jr_pkg_dir}/org.tamberlo.Joyrelay.metainfo.xml.in
  ${CMAKE_BINARY_DIR}/packaging/org.tamberlo.Joyrelay.metainfo.xml @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/packaging/org.tamberlo.Joyrelay.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)

# The GNOME Shell extension that tells the program which window has the focus. GNOME Shell 45
# and later load only its module form, 40 to 44 only its imports form: the package carries the form
# for the GNOME Shell of the machine it is built on (a package is built for one release), or the
# one JOYRELAY_GNOME_SHELL_EXTENSION_FORM names.
set(JOYRELAY_GNOME_SHELL_EXTENSION_FORM "" CACHE STRING
  "legacy (GNOME Shell 40-44) or module (45 and later); empty: as the installed gnome-shell needs")
set(_jr_extension_form "${JOYRELAY_GNOME_SHELL_EXTENSION_FORM}")
if(NOT _jr_extension_form)
  set(_jr_extension_form module)
  find_program(JOYRELAY_GNOME_SHELL gnome-shell)
  if(JOYRELAY_GNOME_SHELL)
    execute_process(COMMAND ${JOYRELAY_GNOME_SHELL} --version OUTPUT_VARIABLE _jr_shell_version
                    ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(_jr_shell_version MATCHES "GNOME Shell ([0-9]+)" AND CMAKE_MATCH_1 LESS 45)
      set(_jr_extension_form legacy)
    endif()
  endif()
endif()
install(DIRECTORY ${JOYRELAY_GNOME_EXTENSION_DIR}/${_jr_extension_form}/joyrelay-focus@tamberlo
  DESTINATION ${CMAKE_INSTALL_DATADIR}/gnome-shell/extensions
  FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

install(FILES ${_jr_pkg_dir}/70-tamberlo-joyrelay.rules DESTINATION ${JOYRELAY_UDEV_RULES_DIR})
install(FILES ${_jr_pkg_dir}/tamberlo-joyrelay.conf DESTINATION ${JOYRELAY_MODULES_LOAD_DIR})

install(FILES ${_jr_pkg_dir}/LICENSE
  DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/tamberlo-joyrelay
  RENAME copyright)

# The man page, compressed at build time (-n: no name or time stamp, so the package is reproducible).
find_program(JOYRELAY_GZIP gzip REQUIRED)
set(_jr_man_out ${CMAKE_BINARY_DIR}/packaging/tamberlo-joyrelay.1)
add_custom_command(
  OUTPUT ${_jr_man_out}.gz
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/packaging
  COMMAND ${CMAKE_COMMAND} -E copy ${_jr_pkg_dir}/tamberlo-joyrelay.1 ${_jr_man_out}
  COMMAND ${JOYRELAY_GZIP} -9 -n -f ${_jr_man_out}
  DEPENDS ${_jr_pkg_dir}/tamberlo-joyrelay.1
  COMMENT "Compressing the man page"
  VERBATIM)
add_custom_target(joyrelay_manpage ALL DEPENDS ${_jr_man_out}.gz)
install(FILES ${_jr_man_out}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# ---- The Debian package ------------------------------------------------------------------------

set(JOYRELAY_PACKAGE_MAINTAINER "Tamberlo Joyrelay developers <maintainers@tamberlo-joyrelay.invalid>"
  CACHE STRING "Maintainer field of the Debian package")

set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "tamberlo-joyrelay")
set(CPACK_PACKAGE_VENDOR "Tamberlo Joyrelay developers")
set(CPACK_PACKAGE_VERSION "${CMAKE_PROJECT_VERSION}")
set(CPACK_PACKAGE_CONTACT "${JOYRELAY_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "arcade stick to keyboard keys for web games")
set(CPACK_RESOURCE_FILE_LICENSE "${_jr_pkg_dir}/LICENSE")
# The package installs where the program was configured to look for its pages.
set(CPACK_PACKAGING_INSTALL_PREFIX "${CMAKE_INSTALL_PREFIX}")
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS ${CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS})
set(CPACK_SOURCE_GENERATOR "TGZ")
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build/" "/build-[^/]*/" "/artifacts/" "/notes/")

if(NOT CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  message(STATUS "Packaging: install prefix is ${CMAKE_INSTALL_PREFIX}; "
                 "configure with -DCMAKE_INSTALL_PREFIX=/usr to build the Debian package")
endif()

set(CPACK_DEBIAN_PACKAGE_NAME "tamberlo-joyrelay")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${JOYRELAY_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION "games")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
if(JOYRELAY_SITE_URL)
  set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "${JOYRELAY_SITE_URL}")
endif()
# The extended description; CPack puts the summary above it and indents it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION [=[Tamberlo Joyrelay claims an arcade stick that speaks the Xbox One protocol
(USB vendor 2dc8, such as the 8BitDo Arcade Stick for Xbox) and turns its
buttons, D-pad, levers and triggers into thirteen keyboard keys, posted
through a uinput virtual keyboard or XTest while a web browser is the
active window. It lives in the system tray and ships an offline arcade and
a controller check page.

The package installs udev rules that let the desktop user open the stick
and /dev/uinput without root, and loads the uinput module at boot.]=])
# Architecture: CPack asks dpkg --print-architecture. Library dependencies: dpkg-shlibdeps.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Qt loads the SVG icon engine as a plugin, which dpkg-shlibdeps cannot see.
if(Qt6Gui_DIR OR Qt6Widgets_DIR)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libqt6svg6")
endif()
# GNOME has no tray of its own; the AppIndicator extension gives it one for the program's icon and menu.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "udev, gnome-shell-extension-appindicator")
set(CPACK_DEBIAN_COMPRESSION_TYPE "xz")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  "${_jr_pkg_dir}/debian/postinst"
  "${_jr_pkg_dir}/debian/postrm")
# Maintainer scripts 0755 and control files 0644, whatever the checkout's modes.
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)

include(CPack)
