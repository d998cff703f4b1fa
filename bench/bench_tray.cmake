# The baseline for the tray's idle cost (bench/idle_cost.sh): a minimal Qt tray program.
find_package(Qt6 REQUIRED COMPONENTS Widgets)
add_executable(minimal_tray ${CMAKE_CURRENT_LIST_DIR}/minimal_tray.cpp)
target_link_libraries(minimal_tray PRIVATE Qt6::Widgets)
