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
