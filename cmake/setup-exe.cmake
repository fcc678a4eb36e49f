# Cross-builds setup.exe as part of the native build and checks it.
#
# The Windows build is its own CMake project under ${CMAKE_BINARY_DIR}/win,
# configured with the mingw toolchain; it is rebuilt on every build so that
# edits to the program are picked up. VNTR_SETUP_EXE names the result, for
# the tests that run it.
option(VNTR_WINDOWS_BUILD "Also cross-build setup.exe with mingw and audit it" ON)
if(NOT VNTR_WINDOWS_BUILD)
    return()
endif()

include(ExternalProject)
find_package(Python3 REQUIRED COMPONENTS Interpreter)

find_program(VNTR_MINGW_CXX i686-w64-mingw32-g++-win32)
if(NOT VNTR_MINGW_CXX)
    message(FATAL_ERROR "i686-w64-mingw32-g++-win32 not found, so setup.exe cannot be built: "
                        "install g++-mingw-w64-i686-win32, or configure with "
                        "-DVNTR_WINDOWS_BUILD=OFF to build without it")
endif()

set(VNTR_WIN_BINARY_DIR ${CMAKE_BINARY_DIR}/win)
set(VNTR_SETUP_EXE ${VNTR_WIN_BINARY_DIR}/setup.exe)
set(VNTR_SETUP_EXE ${VNTR_SETUP_EXE} CACHE INTERNAL "setup.exe cross-built for Windows")
set(VNTR_CAPTURE_EXE ${VNTR_WIN_BINARY_DIR}/vntrcapture.exe CACHE INTERNAL
    "vntrcapture.exe cross-built for Windows")

ExternalProject_Add(setup_exe
    SOURCE_DIR ${CMAKE_SOURCE_DIR}
    BINARY_DIR ${VNTR_WIN_BINARY_DIR}
    CMAKE_ARGS
        -DCMAKE_TOOLCHAIN_FILE=${CMAKE_SOURCE_DIR}/cmake/mingw-i686.cmake
        -DCMAKE_BUILD_TYPE=MinSizeRel
        -DVNTR_AUDIT_PROBES=ON
    BUILD_ALWAYS TRUE
    INSTALL_COMMAND ""
    BUILD_BYPRODUCTS
        ${VNTR_SETUP_EXE}
        ${VNTR_CAPTURE_EXE}
        ${VNTR_WIN_BINARY_DIR}/probe-norsrc.exe
        ${VNTR_WIN_BINARY_DIR}/probe-start.exe
        ${VNTR_WIN_BINARY_DIR}/probe-crt.exe
    USES_TERMINAL_BUILD TRUE)

set(VNTR_PE_AUDIT ${CMAKE_SOURCE_DIR}/tools/pe-audit)
# The audit reads images with pefile, as the Wine side does: the same
# interpreter runs both.
include(${CMAKE_CURRENT_LIST_DIR}/wine-python.cmake)
set(VNTR_PE_PYTHON ${VNTR_ANY_PYTHON})
set(VNTR_PE_CHECKS ${CMAKE_SOURCE_DIR}/tests/pe/pe_checks.py)
set(VNTR_PE_WORK ${CMAKE_BINARY_DIR}/pe-tests)

add_test(NAME pe.audit_setup_exe
         COMMAND ${VNTR_PE_PYTHON} ${VNTR_PE_AUDIT} ${VNTR_SETUP_EXE})

# The audit refuses a copy of setup.exe with one fault planted.
foreach(case subsystem-version os-version console-subsystem cmov fucomip mmx sse long-nop tls
             cmov-at-code-end entry-outside-code caption icon-images oversize truncated
             misaligned-section overlapping-sections import-name-unreadable
             import-lookup-unreadable import-tables-missing)
    string(REPLACE "-" "_" name ${case})
    add_test(NAME pe.audit_rejects_${name}
             COMMAND ${VNTR_PE_PYTHON} ${VNTR_PE_CHECKS} fault ${case}
                     --audit ${VNTR_PE_AUDIT} --exe ${VNTR_SETUP_EXE} --work ${VNTR_PE_WORK})
endforeach()

# Damaged images are reported on, never crash the audit.
add_test(NAME pe.audit_survives_corrupt_images
         COMMAND ${VNTR_PE_PYTHON} ${VNTR_PE_CHECKS} corrupt
                 --audit ${VNTR_PE_AUDIT} --exe ${VNTR_SETUP_EXE} --work ${VNTR_PE_WORK})

# The audit refuses programs built wrongly.
add_test(NAME pe.audit_rejects_toolchain_startup
         COMMAND ${VNTR_PE_PYTHON} ${VNTR_PE_CHECKS} rejects
                 --audit ${VNTR_PE_AUDIT} --exe ${VNTR_WIN_BINARY_DIR}/probe-crt.exe
                 --expect "has a TLS directory"
                          "imports SETUPAPI.dll; the device-installation libraries"
                          "imports KERNEL32.dll!GetFileSizeEx, which Windows 9x does not export"
                          "cmov.* \\(P6-only instruction\\)")
add_test(NAME pe.audit_rejects_missing_resources
         COMMAND ${VNTR_PE_PYTHON} ${VNTR_PE_CHECKS} rejects
                 --audit ${VNTR_PE_AUDIT} --exe ${VNTR_WIN_BINARY_DIR}/probe-norsrc.exe
                 --expect "string {IDS_CAPTION} missing" "icon group {IDI_PROGRAM} missing")

# vntrcapture.exe: the same audit for a console program without resources,
# at most 16 KB.
set(capture_audit_args --console --no-resources --max-size 16384)
add_test(NAME pe.audit_capture_exe
         COMMAND ${VNTR_PE_PYTHON} ${VNTR_PE_AUDIT} ${VNTR_CAPTURE_EXE} ${capture_audit_args})
set(capture_audit_pass)
foreach(arg ${capture_audit_args})
    list(APPEND capture_audit_pass --audit-arg=${arg})
endforeach()
# Its options relax only what they name: the instruction, TLS and version
# checks stay, and 16,384 bytes pass where one more does not.
foreach(case cmov tls subsystem-version)
    string(REPLACE "-" "_" name ${case})
    add_test(NAME pe.audit_capture_rejects_${name}
             COMMAND ${VNTR_PE_PYTHON} ${VNTR_PE_CHECKS} fault ${case} ${capture_audit_pass}
                     --audit ${VNTR_PE_AUDIT} --exe ${VNTR_CAPTURE_EXE}
                     --work ${VNTR_PE_WORK}/capture)
endforeach()
add_test(NAME pe.audit_capture_size_limit_is_inclusive
         COMMAND ${VNTR_PE_PYTHON} ${VNTR_PE_CHECKS} limit --limit 16384 ${capture_audit_pass}
                 --audit ${VNTR_PE_AUDIT} --exe ${VNTR_CAPTURE_EXE} --work ${VNTR_PE_WORK}/capture)
# Without them the audit refuses vntrcapture.exe for what setup.exe must be,
# and --console refuses setup.exe.
add_test(NAME pe.audit_capture_without_its_options
         COMMAND ${VNTR_PE_PYTHON} ${VNTR_PE_CHECKS} rejects
                 --audit ${VNTR_PE_AUDIT} --exe ${VNTR_CAPTURE_EXE}
                 --expect "subsystem is console, not Windows GUI \\(2\\)"
                          "string {IDS_CAPTION} missing" "icon group {IDI_PROGRAM} missing"
                          "is [0-9]+ bytes; the limit is 10240")
add_test(NAME pe.audit_console_option_refuses_setup_exe
         COMMAND ${VNTR_PE_PYTHON} ${VNTR_PE_CHECKS} rejects --audit-arg=--console
                 --audit ${VNTR_PE_AUDIT} --exe ${VNTR_SETUP_EXE}
                 --expect "subsystem is Windows GUI, not console \\(3\\)")

# Read-only data after the import tables is not disassembled as code.
add_test(NAME pe.audit_reads_no_data_as_code
         COMMAND ${VNTR_PE_PYTHON} ${VNTR_PE_CHECKS} data
                 --audit ${VNTR_PE_AUDIT} --exe ${VNTR_SETUP_EXE} --work ${VNTR_PE_WORK})

# Exactly the size limit passes, one byte more does not.
add_test(NAME pe.audit_size_limit_is_inclusive
         COMMAND ${VNTR_PE_PYTHON} ${VNTR_PE_CHECKS} limit
                 --audit ${VNTR_PE_AUDIT} --exe ${VNTR_SETUP_EXE} --work ${VNTR_PE_WORK})

# The start-up under Wine: arguments, constructors, exit code, and standard
# output flushed through exit(). Wine is started as the wine/ package starts
# it (natively or under qemu-i386), in a copy of the end-to-end tests' base
# prefix, on one of their two lanes.
add_test(NAME pe.start_under_wine
         COMMAND ${Python3_EXECUTABLE} ${VNTR_PE_CHECKS} start
                 --exe ${VNTR_WIN_BINARY_DIR}/probe-start.exe --work ${VNTR_PE_WORK}/start
                 --config ${CMAKE_BINARY_DIR}/e2e/config.json)
set_tests_properties(pe.start_under_wine PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 600
                     FIXTURES_REQUIRED e2e_base RESOURCE_LOCK e2e_lane_0)

add_test(NAME pe.icon_regenerates
         COMMAND ${Python3_EXECUTABLE} ${VNTR_PE_CHECKS} icon
                 --mkicon ${CMAKE_SOURCE_DIR}/scripts/mkicon.py
                 --ico ${CMAKE_SOURCE_DIR}/res/setup.ico --work ${VNTR_PE_WORK})

get_property(vntr_pe_tests DIRECTORY PROPERTY TESTS)
list(FILTER vntr_pe_tests INCLUDE REGEX "^pe\\.")
set_tests_properties(${vntr_pe_tests} PROPERTIES LABELS pe)
