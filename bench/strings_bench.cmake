# The string benchmark (bench/README.md): qel-strings-bench, built with the
# library; run it from a release build.
add_executable(qel-strings-bench ${CMAKE_CURRENT_LIST_DIR}/strings_bench.cpp)
target_link_libraries(qel-strings-bench PRIVATE qelcore)
