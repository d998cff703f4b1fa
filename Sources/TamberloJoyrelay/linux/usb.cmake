# The USB host on libusb, and the capture recorder behind --record.
pkg_check_modules(LIBUSB REQUIRED IMPORTED_TARGET libusb-1.0)
add_library(joyrelay_linux_usb STATIC
  ${CMAKE_CURRENT_LIST_DIR}/LibusbHost.cpp
  ${CMAKE_CURRENT_LIST_DIR}/PlatformUsb.cpp
  ${CMAKE_CURRENT_LIST_DIR}/../CaptureRecorder.cpp
)
target_link_libraries(joyrelay_linux_usb PUBLIC joyrelay_app PRIVATE PkgConfig::LIBUSB)
