add_executable(bench_bridge ${CMAKE_CURRENT_SOURCE_DIR}/bench_bridge.cpp)
target_link_libraries(bench_bridge PRIVATE joyrelay_app benchmark::benchmark)
