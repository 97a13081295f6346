# The file benchmark (bench/README.md): qel-files-bench, built with the
# library; run it from a release build.
add_executable(qel-files-bench ${CMAKE_CURRENT_LIST_DIR}/files_bench.cpp)
target_link_libraries(qel-files-bench PRIVATE qelcore)
