# The update benchmark's in-process extraction timer (extract_all), compared by compare_update.sh
# with a whole update through update_headless and with a curl and bsdtar pipeline.
add_executable(extract_all ${CMAKE_CURRENT_LIST_DIR}/extract_all.cpp)
target_link_libraries(extract_all PRIVATE archive)
set_target_properties(extract_all PROPERTIES AUTOMOC OFF)
