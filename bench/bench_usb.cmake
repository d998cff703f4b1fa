# bench_usb: the program against a bare libusb read loop on one emulated stick (umockdev). Needs the
# USB test harness (Tests/usb, built with JOYRELAY_TESTS) for the emulation and the bare reader.
if(TARGET fakestick AND TARGET bare_reader AND TARGET tamberlo-joyrelay AND TARGET joyrelay_linux_usb)
  add_executable(bench_usb ${CMAKE_CURRENT_SOURCE_DIR}/bench_usb.cpp)
  target_link_libraries(bench_usb PRIVATE fakestick joyrelay_linux_usb joyrelay_bridge joyrelay_queues)
  target_compile_definitions(bench_usb PRIVATE
    BARE_READER_PATH="$<TARGET_FILE:bare_reader>"
    JOYRELAY_BINARY="$<TARGET_FILE:tamberlo-joyrelay>"
    FAKESTICK_TEST_LAUNCHER="${FAKESTICK_TEST_LAUNCHER}")
  add_dependencies(bench_usb bare_reader tamberlo-joyrelay)
endif()
