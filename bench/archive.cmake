# Benchmarks and command-line drivers of the 7z decoder: lzma_cat and extract_7z (used by the
# comparison scripts and tests), the in-process decode benchmarks and the libarchive baseline.
add_executable(lzma_cat ${CMAKE_CURRENT_LIST_DIR}/lzma_cat.cpp)
target_link_libraries(lzma_cat PRIVATE archive)

add_executable(extract_7z ${CMAKE_CURRENT_LIST_DIR}/extract_7z.cpp)
target_link_libraries(extract_7z PRIVATE archive)
set_target_properties(lzma_cat extract_7z PROPERTIES AUTOMOC OFF)

# The libarchive baseline, linked with the system libarchive by path (our own library target is
# also called "archive").
find_library(SYSTEM_LIBARCHIVE NAMES libarchive.so archive)
find_path(SYSTEM_LIBARCHIVE_INCLUDE archive.h)
if(SYSTEM_LIBARCHIVE AND SYSTEM_LIBARCHIVE_INCLUDE)
  add_executable(libarchive_extract ${CMAKE_CURRENT_LIST_DIR}/libarchive_extract.cpp)
  target_include_directories(libarchive_extract PRIVATE ${SYSTEM_LIBARCHIVE_INCLUDE})
  target_link_libraries(libarchive_extract PRIVATE ${SYSTEM_LIBARCHIVE})
  set_target_properties(libarchive_extract PROPERTIES AUTOMOC OFF)
endif()

add_executable(lzma_decode_bench ${CMAKE_CURRENT_LIST_DIR}/lzma_decode_bench.cpp)
target_link_libraries(lzma_decode_bench PRIVATE archive benchmark::benchmark)
set_target_properties(lzma_decode_bench PROPERTIES AUTOMOC OFF)
