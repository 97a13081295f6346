# The block benchmark (bench/README.md): qel-blocks-bench, built with the
# library; run it from a release build.
add_executable(qel-blocks-bench ${CMAKE_CURRENT_LIST_DIR}/blocks_bench.cpp)
target_link_libraries(qel-blocks-bench PRIVATE qelcore)
