# tools/vntrsetup-matrix, the release check.
#  - matrix.runs (label matrix, no Wine, no browser): batch records, verdicts,
#    the must-hold packages over the example and regression machines, answer
#    paths, shards merged into the same page, refused command lines.
#  - matrix.page_in_browser (label e2e, with the Windows build): --wine over
#    two machines, then the page and a detail page in headless Chromium.
include(${CMAKE_SOURCE_DIR}/cmake/wine-python.cmake)
vntr_python_unittests(matrix.runs ${CMAKE_SOURCE_DIR}/tests/matrix matrix 300)

if(NOT VNTR_WINDOWS_BUILD OR NOT VNTR_WINE_PYTHON)
    return()
endif()
add_test(NAME matrix.page_in_browser
         COMMAND ${VNTR_WINE_PYTHON} ${CMAKE_SOURCE_DIR}/tests/matrix/page_test.py
                 --build ${CMAKE_BINARY_DIR})
set_tests_properties(matrix.page_in_browser PROPERTIES LABELS e2e FIXTURES_REQUIRED e2e_base
                     RESOURCE_LOCK "e2e_lane_0;e2e_lane_1" SKIP_RETURN_CODE 77 TIMEOUT 1500)
