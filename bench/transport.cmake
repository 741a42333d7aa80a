# The transport's benchmark driver: fetches URLs through HttpStream on kept-alive connections
# (used by compare_download.sh against curl).
add_executable(transport_fetch ${CMAKE_CURRENT_LIST_DIR}/transport_fetch.cpp)
target_link_libraries(transport_fetch PRIVATE http_transport)
