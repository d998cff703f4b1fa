# Figures on a headless sway session (bench/sway_focus_latency.sh, bench/sway_focus_flap.sh,
# bench/idle_cost.sh BUILD_DIR 60 sway).
add_executable(sway_focus_latency ${CMAKE_CURRENT_LIST_DIR}/sway_focus_latency.cpp)
target_link_libraries(sway_focus_latency PRIVATE joyrelay_focus_providers)
add_executable(sway_focus_flap ${CMAKE_CURRENT_LIST_DIR}/sway_focus_flap.cpp)
target_link_libraries(sway_focus_flap PRIVATE joyrelay_focus_providers)
