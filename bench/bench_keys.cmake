# The cost of one posted key event per output.
if(TARGET joyrelay_linux_keys)
  add_executable(bench_keys ${CMAKE_CURRENT_SOURCE_DIR}/bench_keys.cpp)
  target_link_libraries(bench_keys PRIVATE joyrelay_linux_keys joyrelay_bridge joyrelay_simulated benchmark::benchmark)
endif()
