# Web page archiving in the development driver (fetch --save-page, fetch/fetch_webpage.cpp).
target_link_libraries(fetch PRIVATE webpage)
