# The application on Qt: tray icon and menu, the desktop services of a Linux desktop, the entry's
# run modes (tray and headless). Included by this folder's CMakeLists.txt after the executable exists.
find_package(Qt6 REQUIRED COMPONENTS Widgets Svg)

# The installed pages, for the file URLs the menu opens when the build names no site.
set(JOYRELAY_INSTALLED_WEB_DIR "${CMAKE_INSTALL_FULL_DATADIR}/tamberlo-joyrelay/web")

add_library(joyrelay_tray STATIC
  ${CMAKE_CURRENT_LIST_DIR}/Accessibility.cpp
  ${CMAKE_CURRENT_LIST_DIR}/AppDelegate.cpp
  ${CMAKE_CURRENT_LIST_DIR}/AppInfo.cpp
  ${CMAKE_CURRENT_LIST_DIR}/AppMain.cpp
  ${CMAKE_CURRENT_LIST_DIR}/InstanceLock.cpp
  ${CMAKE_CURRENT_LIST_DIR}/QtMainQueue.cpp
  ${CMAKE_CURRENT_LIST_DIR}/StickService.cpp
  ${CMAKE_CURRENT_LIST_DIR}/linux/QtDesktopServices.cpp
  ${CMAKE_CURRENT_LIST_DIR}/linux/XdgAutostart.cpp
)
set_target_properties(joyrelay_tray PROPERTIES AUTOMOC ON)
target_link_libraries(joyrelay_tray PUBLIC joyrelay_linux_keys joyrelay_focus_providers joyrelay_linux_usb Qt6::Widgets Qt6::Svg)
target_compile_definitions(joyrelay_tray PRIVATE
  JOYRELAY_SITE_URL="${JOYRELAY_SITE_URL}"
  JOYRELAY_INSTALLED_WEB_DIR="${JOYRELAY_INSTALLED_WEB_DIR}")

# The tray's symbols, compiled in. An object library, so that every program linking it keeps the
# resources' registration (a static library's unreferenced objects would be dropped).
qt_add_resources(JOYRELAY_ICON_SOURCES ${CMAKE_CURRENT_LIST_DIR}/resources/icons.qrc)
add_library(joyrelay_icons OBJECT ${JOYRELAY_ICON_SOURCES})
target_link_libraries(joyrelay_icons PRIVATE Qt6::Core)

target_sources(tamberlo-joyrelay PRIVATE $<TARGET_OBJECTS:joyrelay_icons>)
target_link_libraries(tamberlo-joyrelay PRIVATE joyrelay_tray)

# The maker's pages next to the executable, so that a program run from the build tree opens these
# and not an older installed copy.
add_custom_target(joyrelay_web_pages ALL
  COMMAND ${CMAKE_COMMAND} -E copy_directory ${PROJECT_SOURCE_DIR}/web $<TARGET_FILE_DIR:tamberlo-joyrelay>/web
  COMMENT "Copying the maker's pages beside the program"
  VERBATIM)
add_dependencies(tamberlo-joyrelay joyrelay_web_pages)
