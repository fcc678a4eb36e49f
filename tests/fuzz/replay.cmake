# Replays each fuzz target's seed corpus and kept regression inputs as an
# ordinary test, without libFuzzer (scripts/fuzz-all does the fuzzing).
include(${CMAKE_CURRENT_LIST_DIR}/targets.cmake)
foreach(target ${VNTR_FUZZ_TARGETS})
    add_executable(fuzz_replay_${target} tests/fuzz/${target}.cpp tests/fuzz/replay_main.cpp)
    target_link_libraries(fuzz_replay_${target} PRIVATE ${VNTR_FUZZ_LIBS_${target}} vntr_sim
                                                        vntr_program)
    add_test(NAME fuzz_replay.${target}
             COMMAND fuzz_replay_${target}
                     ${CMAKE_SOURCE_DIR}/tests/fuzz/corpus/${target}
                     ${CMAKE_SOURCE_DIR}/tests/fuzz/regressions/${target})
    set_tests_properties(fuzz_replay.${target} PROPERTIES LABELS unit)
endforeach()
