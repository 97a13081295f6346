# The evaluator benchmarks (bench/README.md, bench/run.sh): qel-run runs a
# script through the real start-up sequence until the console runs scripts.
add_executable(qel-run ${CMAKE_CURRENT_LIST_DIR}/qel_run.cpp)
target_link_libraries(qel-run PRIVATE qelcore)
if(NOT QEL_SANITIZE)
  target_link_options(qel-run PRIVATE -static-libstdc++ -static-libgcc)
endif()
