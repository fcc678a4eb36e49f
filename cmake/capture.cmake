# vntrcapture.exe under Wine (label e2e, registered with the Windows build):
# a capture changes nothing in a Windows 98 SE and a Windows XP prefix but
# the file it is told to write, and that file loads in the simulator. Needs
# Wine and the end-to-end helper programs (mkdevice.exe, the planted
# libraries); no display.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
add_test(NAME capture.wine_changes_nothing
         COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tests/capture/wine_capture.py unchanged
                 --build ${CMAKE_BINARY_DIR} --work ${CMAKE_BINARY_DIR}/capture-wine)
set_tests_properties(capture.wine_changes_nothing PROPERTIES LABELS e2e TIMEOUT 900)

# Machine files with what a capture could not read are simulator-only: the
# Wine realizer refuses each, naming the setting (no Wine needed).
add_test(NAME capture.unreadable_is_simulator_only
         COMMAND ${Python3_EXECUTABLE} -m unittest discover -s ${CMAKE_SOURCE_DIR}/tests/capture
                 -p "test_*.py")
set_tests_properties(capture.unreadable_is_simulator_only PROPERTIES LABELS unit TIMEOUT 120
                     ENVIRONMENT VNTR_SIM_BINARY=$<TARGET_FILE:vntrsetup-sim>)
