# The memory benchmark (bench/README.md): qel-memory-bench, built with the
# library; run it from a release build.
add_executable(qel-memory-bench ${CMAKE_CURRENT_LIST_DIR}/memory_bench.cpp)
target_link_libraries(qel-memory-bench PRIVATE qelcore)
