# Key output (uinput, XTest) and the focus gate (X11 EWMH, browser matching).
pkg_check_modules(JOYRELAY_KEYS_DEPS REQUIRED IMPORTED_TARGET libevdev x11 xtst)

# The focus gate's platform-free logic.
add_library(joyrelay_focus STATIC
  ${CMAKE_CURRENT_SOURCE_DIR}/../BrowserGuard.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/../FocusMonitor.cpp
)
target_link_libraries(joyrelay_focus PUBLIC joyrelay_app)

# The Linux backends: uinput and XTest key events, the choice between them, the X11 active window.
add_library(joyrelay_linux_keys STATIC
  ${CMAKE_CURRENT_SOURCE_DIR}/KeyCodes.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/KeyOutput.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/UinputKeyEvents.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/X11Focus.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/XTestKeyEvents.cpp
)
target_link_libraries(joyrelay_linux_keys PUBLIC joyrelay_focus joyrelay_virtual_keyboard PkgConfig::JOYRELAY_KEYS_DEPS
  PRIVATE joyrelay_kde_gnome_keys joyrelay_kde_gnome_focus)

# The guard of the XTest output: a process of its own that lets go of the keys once the program has
# ended, however it ended. Built next to the program, installed in the libexec folder.
add_executable(tamberlo-joyrelay-keyguard ${CMAKE_CURRENT_SOURCE_DIR}/KeyGuardMain.cpp)
target_link_libraries(tamberlo-joyrelay-keyguard PRIVATE PkgConfig::JOYRELAY_KEYS_DEPS)
set_target_properties(tamberlo-joyrelay-keyguard PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/..)
target_compile_definitions(joyrelay_linux_keys PRIVATE
  JOYRELAY_LIBEXEC_DIR="${CMAKE_INSTALL_FULL_LIBEXECDIR}/tamberlo-joyrelay")
install(TARGETS tamberlo-joyrelay-keyguard RUNTIME DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/tamberlo-joyrelay)
