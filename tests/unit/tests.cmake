# Unit and flow tests: the program over simulated machines.
add_executable(unit_tests
    tests/unit/startup_test.cpp
    tests/unit/paths_test.cpp
    tests/unit/machine_file_test.cpp
    tests/unit/cli_test.cpp
    tests/unit/legacy_test.cpp
    tests/unit/nt_test.cpp
    tests/unit/examples_test.cpp
    tests/unit/capture_test.cpp
    tests/unit/record_test.cpp
    tests/unit/inf_test.cpp
    tests/unit/names_test.cpp
)
target_link_libraries(unit_tests PRIVATE vntr_capture vntr_sim vntr_program GTest::gtest_main)
target_compile_definitions(unit_tests PRIVATE
    VNTR_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
    VNTR_SIM_BINARY="$<TARGET_FILE:vntrsetup-sim>"
    VNTR_CAPTURE_SIM_BINARY="$<TARGET_FILE:vntrcapture-sim>")
add_dependencies(unit_tests vntrsetup-sim vntrcapture-sim)
include(GoogleTest)
gtest_discover_tests(unit_tests PROPERTIES LABELS unit)
