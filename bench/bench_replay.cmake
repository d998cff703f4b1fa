# Replaying captures with the real program: peak memory and reports per second.
add_executable(bench_replay ${CMAKE_CURRENT_SOURCE_DIR}/bench_replay.cpp)
target_link_libraries(bench_replay PRIVATE benchmark::benchmark)
target_compile_definitions(bench_replay PRIVATE JOYRELAY_BINARY="$<TARGET_FILE:tamberlo-joyrelay>")
add_dependencies(bench_replay tamberlo-joyrelay)
