# vntrcapture.exe under Wine (label e2e, registered with the Windows build),
# on prefixes the end-to-end harness realizes from machine files: the same
# base prefix (fixture e2e_base) and the same two lanes.
#  - capture.wine_changes_nothing.NAME: the prefix's registry and files
#    before and after a capture: nothing changes but the file it writes.
# The round trip (a capture of the realized machine just ahead of the real
# setup.exe, replayed by the simulator and compared with setup.exe's run)
# is part of each e2e.NAME comparison (tests/e2e/captured.py): e2e.cmake
# hands the harness the capture program.
include(${CMAKE_CURRENT_LIST_DIR}/wine-python.cmake)

# Machine files with what a capture could not read are simulator-only: the
# Wine realizer refuses each, naming the setting (no Wine, and no pefile,
# needed).
vntr_python_unittests(capture.unreadable_is_simulator_only ${CMAKE_SOURCE_DIR}/tests/capture unit
                      120)

if(NOT VNTR_WINE_PYTHON)
    return()  # e2e.toolchain fails and says why
endif()
set(capture_wine ${VNTR_WINE_PYTHON} ${CMAKE_SOURCE_DIR}/tests/capture/wine_capture.py
    --config ${VNTR_E2E_CONFIG} --capture ${VNTR_CAPTURE_EXE})

set(lane 1)
function(vntr_capture_wine_test name)
    add_test(NAME ${name} COMMAND ${capture_wine} ${ARGN})
    set_tests_properties(${name} PROPERTIES
        LABELS e2e FIXTURES_REQUIRED e2e_base RESOURCE_LOCK e2e_lane_${lane} TIMEOUT 900)
endfunction()
# Controller keys with trees, an older INF copy, OtherDevicePath and
# INF\OTHER on 98 SE and ME; devices and planted libraries on XP; the
# Japanese machines (code page 932, package folders whose last character
# ends in the byte 0x5C).
foreach(name 98se me xp-planted-dlls 98se-japanese xp-japanese)
    vntr_capture_wine_test(capture.wine_changes_nothing.${name} unchanged ${name})
    math(EXPR lane "1 - ${lane}")
endforeach()

