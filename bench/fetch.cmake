# The request engine's development driver `fetch`: fetch/fetch_main.cpp and one fetch_<group>.cpp
# per option group (see fetch/fetch_feature.h).
file(GLOB fetch_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/fetch/*.cpp)
add_executable(fetch ${fetch_sources})
target_include_directories(fetch PRIVATE ${CMAKE_CURRENT_LIST_DIR}/fetch)
target_link_libraries(fetch PRIVATE queue form cache)
