# The controller search timed over large simulated device lists. Not a test:
# run it by hand (build/native/search_bench). Built only where Google
# Benchmark is installed (libbenchmark-dev).
find_package(benchmark QUIET)
if(NOT benchmark_FOUND)
    message(STATUS "Google Benchmark not found: search_bench is not built "
                   "(install libbenchmark-dev to build it)")
    return()
endif()
add_executable(search_bench tests/bench/search_bench.cpp)
target_link_libraries(search_bench PRIVATE vntr_sim vntr_program benchmark::benchmark)

# Loading and running machines of 1,000 to 100,000 keys, values or devices:
#   build/native/load_bench
# and vntrsetup-sim itself on such files, timed with its peak memory.
add_executable(load_bench tests/bench/load_bench.cpp)
target_link_libraries(load_bench PRIVATE vntr_cli benchmark::benchmark)
target_compile_definitions(load_bench PRIVATE VNTRSETUP_SIM="$<TARGET_FILE:vntrsetup-sim>")
add_dependencies(load_bench vntrsetup-sim)

# The machine capture over 1,000 to 100,000 Enum\PCI keys or devices: the
# capture, loading its file, setup.exe on the loaded machine:
#   build/native/capture_bench
add_executable(capture_bench tests/bench/capture_bench.cpp)
target_link_libraries(capture_bench PRIVATE vntr_capture benchmark::benchmark)

# --check's differences between 40,000 expected and 40,000 traced lines:
#   build/native/check_bench
add_executable(check_bench tests/bench/check_bench.cpp)
target_link_libraries(check_bench PRIVATE vntr_sim vntr_program benchmark::benchmark)

# An INF of 10,000 models read and the update predicted from it, and
# `vntrsetup-sim --check-package` over the example package:
#   build/native/package_bench
add_executable(package_bench tests/bench/package_bench.cpp)
target_link_libraries(package_bench PRIVATE vntr_sim vntr_program benchmark::benchmark)
target_compile_definitions(package_bench PRIVATE VNTRSETUP_SIM="$<TARGET_FILE:vntrsetup-sim>"
                                                 EXAMPLE_PACKAGE="${CMAKE_SOURCE_DIR}/examples/package")
add_dependencies(package_bench vntrsetup-sim)
