# The text and number benchmark (bench/README.md): qel-text-bench, built with
# the library; run it from a release build.
add_executable(qel-text-bench ${CMAKE_CURRENT_LIST_DIR}/text_bench.cpp)
target_link_libraries(qel-text-bench PRIVATE qelcore)
