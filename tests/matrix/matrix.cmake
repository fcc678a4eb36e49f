# tools/vntrsetup-matrix, the release check.
#  - matrix.runs (label matrix, no Wine, no browser): batch records, verdicts,
#    the must-hold packages over the example and regression machines, answer
#    paths, shards merged into the same page, refused command lines.
#  - matrix.page_in_browser (label e2e, with the Windows build): --wine over
#    two machines, then the page and a detail page in headless Chromium.
include(${CMAKE_SOURCE_DIR}/cmake/wine-python.cmake)
set(vntr_matrix_python ${VNTR_WINE_PYTHON})
if(NOT vntr_matrix_python)
    set(vntr_matrix_python ${Python3_EXECUTABLE})
endif()
add_test(NAME matrix.runs
         COMMAND ${vntr_matrix_python} -m unittest discover -s ${CMAKE_SOURCE_DIR}/tests/matrix
                 -p "test_*.py")
set_tests_properties(matrix.runs PROPERTIES LABELS matrix TIMEOUT 300
                     ENVIRONMENT VNTR_SIM_BINARY=$<TARGET_FILE:vntrsetup-sim>)

if(NOT VNTR_WINDOWS_BUILD OR NOT VNTR_WINE_PYTHON)
    return()
endif()
add_test(NAME matrix.page_in_browser
         COMMAND ${VNTR_WINE_PYTHON} ${CMAKE_SOURCE_DIR}/tests/matrix/page_test.py
                 --build ${CMAKE_BINARY_DIR})
set_tests_properties(matrix.page_in_browser PROPERTIES LABELS e2e FIXTURES_REQUIRED e2e_base
                     RESOURCE_LOCK "e2e_lane_0;e2e_lane_1" SKIP_RETURN_CODE 77 TIMEOUT 1500)
