# scripts/test-all and .ci/run over stand-in tools: every stage runs, and a
# missing script, an unformatted source, a failing stage or a display that
# never comes up stops the run with a message. Label scripts.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
add_test(NAME scripts.test_all_and_ci_run
         COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tests/scripts/scripts_test.py
                 --source ${CMAKE_SOURCE_DIR})
set_tests_properties(scripts.test_all_and_ci_run PROPERTIES LABELS scripts TIMEOUT 300)
