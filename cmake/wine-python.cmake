# The Python that runs the Wine side (the wine/ package: tools/vntrsetup-wine,
# the end-to-end and capture tests, pe.start_under_wine) and tools/pe-audit's
# tests. Both read PE files
# with Debian's python3-pefile, which only the system's interpreter sees: a
# python3 of pyenv or a virtual environment earlier on PATH does not. The
# first of the interpreter CMake found and /usr/bin/python3 that imports
# pefile and tomllib (3.11) is VNTR_WINE_PYTHON; with neither it is empty
# and the tests that need it fail, saying what to install.
if(DEFINED VNTR_WINE_PYTHON_CHECKED)
    return()
endif()
set(VNTR_WINE_PYTHON_CHECKED TRUE)
find_package(Python3 REQUIRED COMPONENTS Interpreter)
set(VNTR_WINE_PYTHON "")
foreach(candidate ${Python3_EXECUTABLE} /usr/bin/python3)
    if(EXISTS ${candidate})
        execute_process(COMMAND ${candidate} -c "import pefile, tomllib"
                        RESULT_VARIABLE vntr_python_result OUTPUT_QUIET ERROR_QUIET)
        if(vntr_python_result EQUAL 0)
            set(VNTR_WINE_PYTHON ${candidate})
            break()
        endif()
    endif()
endforeach()
set(VNTR_WINE_PYTHON_MISSING
    "the Wine side needs python3 3.11 or later with python3-pefile (scripts/bootstrap --all)")
if(NOT VNTR_WINE_PYTHON)
    message(WARNING "${VNTR_WINE_PYTHON_MISSING}: the Wine tests will fail")
endif()
# The interpreter of the tests that need pefile where they read PE files and
# run without it otherwise: the Wine side's when there is one, else CMake's.
set(VNTR_ANY_PYTHON ${VNTR_WINE_PYTHON})
if(NOT VNTR_ANY_PYTHON)
    set(VNTR_ANY_PYTHON ${Python3_EXECUTABLE})
endif()

# vntr_python_unittests(NAME DIR LABEL TIMEOUT): the test NAME runs the
# unittest files test_*.py of DIR with VNTR_ANY_PYTHON, vntrsetup-sim named
# in VNTR_SIM_BINARY.
function(vntr_python_unittests name dir label timeout)
    add_test(NAME ${name} COMMAND ${VNTR_ANY_PYTHON} -m unittest discover -s ${dir} -p "test_*.py")
    set_tests_properties(${name} PROPERTIES LABELS ${label} TIMEOUT ${timeout}
                         ENVIRONMENT VNTR_SIM_BINARY=$<TARGET_FILE:vntrsetup-sim>)
endfunction()
