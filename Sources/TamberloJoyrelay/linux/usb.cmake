# The USB host on libusb.
add_library(joyrelay_linux_usb STATIC ${CMAKE_CURRENT_LIST_DIR}/PlatformUsb.cpp)
target_link_libraries(joyrelay_linux_usb PUBLIC joyrelay_app)
