# End-to-end tests: the cross-built setup.exe under Wine inside Xvfb, one fresh
# prefix per machine, run by the wine/ package. Label e2e.
#
# The helper programs are built here: listdevices.exe (Wine's own devices),
# keeper.exe (holds a session booted), the planted stand-in for a system
# library and the preload library that
# lets Wine run under qemu-i386 (32-bit, raw system calls, no C library
# needed to build it), all part of wine/; and probe.exe, the harness's own
# test program (tests/e2e/helpers).
#
# The machines run two at a time at most: each takes one of two lanes
# (RESOURCE_LOCK), so `ctest -j2` or more fills both.

include(${CMAKE_CURRENT_LIST_DIR}/wine-python.cmake)

set(VNTR_E2E_SOURCE ${CMAKE_CURRENT_LIST_DIR}/../tests/e2e)
get_filename_component(VNTR_E2E_SOURCE ${VNTR_E2E_SOURCE} ABSOLUTE)
set(VNTR_WINE_SOURCE ${CMAKE_SOURCE_DIR}/wine)
set(VNTR_E2E_WORK ${CMAKE_BINARY_DIR}/e2e)
set(VNTR_E2E_TOOLS ${VNTR_E2E_WORK}/tools)
set(VNTR_E2E_CONFIG ${VNTR_E2E_WORK}/config.json)
set(VNTR_E2E_HARNESS ${VNTR_E2E_SOURCE}/e2e.py)

find_program(VNTR_MINGW_CC i686-w64-mingw32-gcc-win32)
find_program(VNTR_HOST_CC NAMES gcc cc)
if(NOT VNTR_MINGW_CC OR NOT VNTR_HOST_CC OR NOT VNTR_WINE_PYTHON)
    # Never skipped quietly: the label fails and says what is missing.
    add_test(NAME e2e.toolchain
             COMMAND ${CMAKE_COMMAND} -E echo
                     "e2e: needs i686-w64-mingw32-gcc-win32 (gcc-mingw-w64-i686-win32) and gcc; "
                     "${VNTR_WINE_PYTHON_MISSING}")
    set_tests_properties(e2e.toolchain PROPERTIES LABELS e2e WILL_FAIL TRUE)
    return()
endif()

set(mingw_flags -O2 -s -Wall -Wextra)
set(helpers ${VNTR_WINE_SOURCE}/helpers)
set(shim ${VNTR_WINE_SOURCE}/shim)

add_custom_command(
    OUTPUT ${VNTR_E2E_TOOLS}/listdevices.exe
    COMMAND ${CMAKE_COMMAND} -E make_directory ${VNTR_E2E_TOOLS}
    COMMAND ${VNTR_MINGW_CC} ${mingw_flags} -o ${VNTR_E2E_TOOLS}/listdevices.exe
            ${helpers}/listdevices.c -lsetupapi
    DEPENDS ${helpers}/listdevices.c
    COMMENT "e2e: listdevices.exe")
add_custom_command(
    OUTPUT ${VNTR_E2E_TOOLS}/keeper.exe
    COMMAND ${CMAKE_COMMAND} -E make_directory ${VNTR_E2E_TOOLS}
    COMMAND ${VNTR_MINGW_CC} ${mingw_flags} -mwindows -o ${VNTR_E2E_TOOLS}/keeper.exe
            ${helpers}/keeper.c
    DEPENDS ${helpers}/keeper.c
    COMMENT "e2e: keeper.exe")
add_custom_command(
    OUTPUT ${VNTR_E2E_TOOLS}/probe.exe
    COMMAND ${CMAKE_COMMAND} -E make_directory ${VNTR_E2E_TOOLS}
    COMMAND ${VNTR_MINGW_CC} ${mingw_flags} -mwindows -o ${VNTR_E2E_TOOLS}/probe.exe
            ${VNTR_E2E_SOURCE}/helpers/probe.c
    DEPENDS ${VNTR_E2E_SOURCE}/helpers/probe.c
    COMMENT "e2e: probe.exe")
add_custom_command(
    OUTPUT ${VNTR_E2E_TOOLS}/planted.dll
    COMMAND ${CMAKE_COMMAND} -E make_directory ${VNTR_E2E_TOOLS}
    COMMAND ${VNTR_MINGW_CC} ${mingw_flags} -shared -o ${VNTR_E2E_TOOLS}/planted.dll
            ${helpers}/planted.c
    DEPENDS ${helpers}/planted.c
    COMMENT "e2e: planted.dll")
add_custom_command(
    OUTPUT ${VNTR_E2E_TOOLS}/noreplace32.so
    COMMAND ${CMAKE_COMMAND} -E make_directory ${VNTR_E2E_TOOLS}
    COMMAND ${VNTR_HOST_CC} -m32 -O2 -fPIC -ffreestanding -fno-stack-protector -nostdlib -shared
            -Wall -Wextra -o ${VNTR_E2E_TOOLS}/noreplace32.so ${shim}/noreplace.c
    DEPENDS ${shim}/noreplace.c
    COMMENT "e2e: MAP_FIXED_NOREPLACE preload library (32-bit)")
add_custom_command(
    OUTPUT ${VNTR_E2E_TOOLS}/noreplace64.so
    COMMAND ${CMAKE_COMMAND} -E make_directory ${VNTR_E2E_TOOLS}
    COMMAND ${VNTR_HOST_CC} -O2 -fPIC -nostdlib -shared -o ${VNTR_E2E_TOOLS}/noreplace64.so
            ${shim}/empty.c
    DEPENDS ${shim}/empty.c
    COMMENT "e2e: preload placeholder (64-bit)")
add_custom_target(e2e_tools ALL DEPENDS
    ${VNTR_E2E_TOOLS}/listdevices.exe ${VNTR_E2E_TOOLS}/keeper.exe ${VNTR_E2E_TOOLS}/probe.exe
    ${VNTR_E2E_TOOLS}/planted.dll
    ${VNTR_E2E_TOOLS}/noreplace32.so ${VNTR_E2E_TOOLS}/noreplace64.so)

if(DEFINED VNTR_SETUP_EXE)
    set(e2e_setup_exe ${VNTR_SETUP_EXE})
    # The host contract checks are cross-built beside setup.exe.
    get_filename_component(e2e_win_dir ${VNTR_SETUP_EXE} DIRECTORY)
    set(e2e_contract_exe ${e2e_win_dir}/contract.exe)
    # Each comparison also captures the realized machine and replays it.
    set(e2e_capture_exe ${VNTR_CAPTURE_EXE})
else()
    set(e2e_setup_exe "")
    set(e2e_contract_exe "")
    set(e2e_capture_exe "")
endif()
set(VNTR_E2E_PACKAGE ${CMAKE_CURRENT_LIST_DIR}/../examples/package)
get_filename_component(VNTR_E2E_PACKAGE ${VNTR_E2E_PACKAGE} ABSOLUTE)
file(GENERATE OUTPUT ${VNTR_E2E_CONFIG} CONTENT "{
  \"setup_exe\": \"${e2e_setup_exe}\",
  \"source\": \"${CMAKE_SOURCE_DIR}\",
  \"package\": \"${VNTR_E2E_PACKAGE}\",
  \"work\": \"${VNTR_E2E_WORK}\",
  \"tools\": {
    \"listdevices\": \"${VNTR_E2E_TOOLS}/listdevices.exe\",
    \"keeper\": \"${VNTR_E2E_TOOLS}/keeper.exe\",
    \"probe\": \"${VNTR_E2E_TOOLS}/probe.exe\",
    \"contract\": \"${e2e_contract_exe}\",
    \"capture\": \"${e2e_capture_exe}\",
    \"planted\": \"${VNTR_E2E_TOOLS}/planted.dll\",
    \"stub_source\": \"${helpers}/stub.c\",
    \"mingw_cc\": \"${VNTR_MINGW_CC}\",
    \"sim\": \"$<TARGET_FILE:vntrsetup-sim>\",
    \"shim32\": \"${VNTR_E2E_TOOLS}/noreplace32.so\",
    \"shim64\": \"${VNTR_E2E_TOOLS}/noreplace64.so\"
  }
}
")

set(e2e_run ${VNTR_WINE_PYTHON} ${VNTR_E2E_HARNESS} --config ${VNTR_E2E_CONFIG})

# The base prefix, once per build tree (reused while Wine stays the same),
# and the check that nothing of the suite is left running afterwards.
add_test(NAME e2e.prepare COMMAND ${e2e_run} prepare)
set_tests_properties(e2e.prepare PROPERTIES LABELS e2e FIXTURES_SETUP e2e_base TIMEOUT 1200)
add_test(NAME e2e.nothing_left_running COMMAND ${e2e_run} check-clean)
set_tests_properties(e2e.nothing_left_running PROPERTIES LABELS e2e FIXTURES_CLEANUP e2e_base
                     TIMEOUT 60)

# The unit tests of the wine/ package: log, registry and PE reading, plans,
# the relayed calls and the comparison. (The probes run it end to end.)
add_test(NAME e2e.harness_selftest
         COMMAND ${VNTR_WINE_PYTHON} -m unittest discover -s ${VNTR_E2E_SOURCE} -p "test_*.py")
set_tests_properties(e2e.harness_selftest PROPERTIES LABELS e2e TIMEOUT 120
    ENVIRONMENT "VNTR_SIM_BINARY=$<TARGET_FILE:vntrsetup-sim>;VNTR_SETUP_EXE=${e2e_setup_exe}")

# Which machine files are simulator-only, and why: checked against
# tests/e2e/simulator-only.toml.
add_test(NAME e2e.simulator_only COMMAND ${e2e_run} classify)
set_tests_properties(e2e.simulator_only PROPERTIES LABELS e2e TIMEOUT 300)

# One test per compared machine (examples/machines and tests/machines,
# less the simulator-only ones) and per probe of the harness (on the
# machines of tests/e2e/probes); only where setup.exe is cross-built.
if(NOT e2e_setup_exe)
    return()
endif()
execute_process(COMMAND ${VNTR_WINE_PYTHON} ${VNTR_E2E_HARNESS} list
                OUTPUT_VARIABLE e2e_names RESULT_VARIABLE e2e_list_result)
if(NOT e2e_list_result EQUAL 0)
    message(FATAL_ERROR "tests/e2e/e2e.py list failed: ${e2e_list_result}")
endif()
string(REGEX REPLACE "\n$" "" e2e_names "${e2e_names}")
string(REPLACE "\n" ";" e2e_names "${e2e_names}")
file(GLOB e2e_machine_files ${CMAKE_SOURCE_DIR}/examples/machines/*.toml
     ${CMAKE_SOURCE_DIR}/tests/machines/*.toml)
file(GLOB e2e_probe_files ${VNTR_E2E_SOURCE}/probes/*.toml)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${VNTR_E2E_SOURCE}/probes.py
             ${VNTR_E2E_SOURCE}/probes ${e2e_probe_files} ${VNTR_E2E_SOURCE}/simulator-only.toml ${CMAKE_SOURCE_DIR}/examples/machines
             ${CMAKE_SOURCE_DIR}/tests/machines ${e2e_machine_files})

# tools/vntrsetup-wine itself: refusals, a report, a question left unanswered.
add_test(NAME e2e.vntrsetup_wine
         COMMAND ${VNTR_WINE_PYTHON} ${VNTR_E2E_SOURCE}/tool_test.py ${CMAKE_BINARY_DIR})
set_tests_properties(e2e.vntrsetup_wine PROPERTIES LABELS e2e FIXTURES_REQUIRED e2e_base
                     RESOURCE_LOCK e2e_lane_1 TIMEOUT 1200)

set(lane 0)
foreach(name IN LISTS e2e_names)
    add_test(NAME e2e.${name} COMMAND ${e2e_run} run ${name})
    set_tests_properties(e2e.${name} PROPERTIES
        LABELS e2e
        FIXTURES_REQUIRED e2e_base
        RESOURCE_LOCK e2e_lane_${lane}
        TIMEOUT 900)
    math(EXPR lane "1 - ${lane}")
endforeach()
