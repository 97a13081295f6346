# The checksum and compression benchmark (bench/README.md): qel-services-bench;
# run it from a release build. With zlib found it also times zlib's routines
# for comparison (zlib is never linked into qel itself).
add_executable(qel-services-bench ${CMAKE_CURRENT_LIST_DIR}/services_bench.cpp)
target_link_libraries(qel-services-bench PRIVATE qelcore)
target_compile_definitions(qel-services-bench PRIVATE QEL_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
find_package(ZLIB QUIET)
if(ZLIB_FOUND)
  target_link_libraries(qel-services-bench PRIVATE ZLIB::ZLIB)
  target_compile_definitions(qel-services-bench PRIVATE QEL_BENCH_ZLIB=1)
endif()
