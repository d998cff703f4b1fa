# The focus gate and key output on KDE Plasma and GNOME: the KWin script and GNOME Shell extension
# focus providers, and key output through KWin's fake-input protocol and Mutter's remote desktop.
# Included by the program's CMakeLists.txt once the Linux backends exist.
find_package(Qt6 REQUIRED COMPONENTS Core DBus)
find_package(PlasmaWaylandProtocols REQUIRED)
pkg_check_modules(JOYRELAY_WAYLAND_CLIENT REQUIRED IMPORTED_TARGET wayland-client)
pkg_get_variable(JOYRELAY_WAYLAND_SCANNER wayland-scanner wayland_scanner)
if(NOT JOYRELAY_WAYLAND_SCANNER)
  find_program(JOYRELAY_WAYLAND_SCANNER wayland-scanner REQUIRED)
endif()

# Focus providers: KWin script, GNOME Shell extension (both over QtDBus, on the main thread).
add_library(joyrelay_kde_gnome_focus STATIC
  ${CMAKE_CURRENT_LIST_DIR}/focus/DesktopAppIds.cpp
  ${CMAKE_CURRENT_LIST_DIR}/focus/FocusHold.cpp
  ${CMAKE_CURRENT_LIST_DIR}/focus/GnomeFocus.cpp
  ${CMAKE_CURRENT_LIST_DIR}/focus/KWinFocus.cpp
)
set_target_properties(joyrelay_kde_gnome_focus PROPERTIES AUTOMOC ON)
target_link_libraries(joyrelay_kde_gnome_focus PUBLIC joyrelay_focus Qt6::Core Qt6::DBus)

# org_kde_kwin_fake_input's client code, generated from plasma-wayland-protocols' description.
set(_jr_fake_input_xml ${PLASMA_WAYLAND_PROTOCOLS_DIR}/fake-input.xml)
set(_jr_protocols_out ${CMAKE_CURRENT_BINARY_DIR}/wayland-protocols)
add_custom_command(
  OUTPUT ${_jr_protocols_out}/fake-input-client-protocol.h ${_jr_protocols_out}/fake-input-protocol.c
  COMMAND ${CMAKE_COMMAND} -E make_directory ${_jr_protocols_out}
  COMMAND ${JOYRELAY_WAYLAND_SCANNER} client-header ${_jr_fake_input_xml} ${_jr_protocols_out}/fake-input-client-protocol.h
  COMMAND ${JOYRELAY_WAYLAND_SCANNER} private-code ${_jr_fake_input_xml} ${_jr_protocols_out}/fake-input-protocol.c
  DEPENDS ${_jr_fake_input_xml}
  COMMENT "Generating the org_kde_kwin_fake_input client code"
  VERBATIM)

# Key output without uinput: KWin's fake input (libwayland-client), Mutter's remote desktop (QtDBus).
add_library(joyrelay_kde_gnome_keys STATIC
  ${CMAKE_CURRENT_LIST_DIR}/keys/FakeInputKeyEvents.cpp
  ${CMAKE_CURRENT_LIST_DIR}/keys/RemoteDesktopKeyEvents.cpp
  ${_jr_protocols_out}/fake-input-protocol.c
)
set_target_properties(joyrelay_kde_gnome_keys PROPERTIES AUTOMOC ON)
target_include_directories(joyrelay_kde_gnome_keys PRIVATE ${_jr_protocols_out})
target_link_libraries(joyrelay_kde_gnome_keys PUBLIC joyrelay_linux_keys Qt6::Core Qt6::DBus PkgConfig::JOYRELAY_WAYLAND_CLIENT)
