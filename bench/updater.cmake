# The updater's development driver (a whole update without a window).
add_executable(update_headless ${CMAKE_CURRENT_SOURCE_DIR}/update_headless.cpp)
target_link_libraries(update_headless PRIVATE updater)
