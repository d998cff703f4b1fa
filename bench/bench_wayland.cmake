# Figures on a headless sway session (bench/sway_focus_latency.sh, bench/idle_cost_sway.sh).
add_executable(sway_focus_latency ${CMAKE_CURRENT_LIST_DIR}/sway_focus_latency.cpp)
target_link_libraries(sway_focus_latency PRIVATE joyrelay_focus_providers)
