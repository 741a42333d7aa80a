# cloudstore: command-line client of the S3 and Cloud Files request families (bench/compare_cloud.sh
# and the end-to-end tests use it).
add_executable(cloudstore ${CMAKE_CURRENT_LIST_DIR}/cloudstore.cpp)
target_link_libraries(cloudstore PRIVATE cloud_s3 cloud_cloudfiles)
