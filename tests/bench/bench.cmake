# The controller search timed over large simulated device lists. Built with
# the native build; run it by hand (it is no test):
#   build/native/search_bench
find_package(benchmark REQUIRED)
add_executable(search_bench tests/bench/search_bench.cpp)
target_link_libraries(search_bench PRIVATE vntr_sim vntr_program benchmark::benchmark)

# Loading and running machines of 1,000 to 100,000 keys, values or devices:
#   build/native/load_bench
add_executable(load_bench tests/bench/load_bench.cpp tools/vntrsetup-sim/report.cpp)
target_link_libraries(load_bench PRIVATE vntr_sim vntr_program benchmark::benchmark)
