# setup.exe: the program proper built for 32-bit Windows, Windows 98 to XP.
#
# It has to start on Windows 98 on a Pentium, so:
#  - everything is compiled for the i586: no CMOV/FCOMI, no MMX/SSE;
#  - the toolchain's C runtime start-up is replaced by host/win/start.cpp
#    (the toolchain's is built for the i686 and brings a TLS directory);
#  - only kernel32, user32, advapi32 and msvcrt are linked, whose import
#    libraries are checked against Windows 9x by tools/pe-audit;
#  - the header says OS and subsystem version 4.0 (Windows 98 refuses 5.0).
# It is kept small (tools/pe-audit holds it to 10,240 bytes):
#  - no base relocations and no DYNAMIC_BASE: an executable is always
#    loaded at its preferred base on Windows 98 to XP (NX_COMPAT, a header
#    bit, stays);
#  - no -fdata-sections: with it, zero-filled globals land in .data and take
#    room in the file instead of none;
#  - no frame pointer, and the 4-byte stack alignment of the Win32 calling
#    convention instead of gcc's 16;
#  - host/win/setup.ld lays the image out in three sections (.text with the
#    read-only data and imports, .data, .rsrc), so that the headers fit one
#    512-byte block and only two sections are padded.
# Images are reproducible (no time stamp).
enable_language(RC)

# Nothing is linked that is not named below.
set(CMAKE_CXX_STANDARD_LIBRARIES "")

option(VNTR_AUDIT_PROBES "Also build the deliberately faulty programs the audit tests use" OFF)

set(VNTR_WIN98_CXX_FLAGS
    -march=i586 -Os
    -fno-exceptions -fno-rtti -fno-threadsafe-statics
    -fno-asynchronous-unwind-tables -fno-unwind-tables
    -fomit-frame-pointer -mpreferred-stack-boundary=2
    -ffunction-sections -fno-ident
    # A frame this large needs a stack probe (__chkstk); keep frames small.
    -Wframe-larger-than=4000)

set(VNTR_WIN98_LINKER_SCRIPT ${CMAKE_SOURCE_DIR}/host/win/setup.ld)

set(VNTR_WIN98_LINK_FLAGS
    -nostdlib -nostartfiles -static-libgcc -s
    -Wl,--gc-sections
    -Wl,--major-os-version,4 -Wl,--minor-os-version,0
    -Wl,--disable-dynamicbase -Wl,--disable-reloc-section -Wl,--nxcompat
    -Wl,--no-insert-timestamp
    # Data imported from msvcrt must be declared dllimport: the fix-ups of
    # auto-import need the runtime's relocator, which start.cpp does not run.
    -Wl,--disable-auto-import -Wl,--disable-runtime-pseudo-reloc
    -Wl,-T,${VNTR_WIN98_LINKER_SCRIPT})

# The Windows 98 build of a program: compile and link options, libraries.
# `subsystem` is windows or console, `entry` the start-up's entry point.
function(vntr_win98_build name subsystem entry)
    target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR} ${VNTR_GENERATED})
    # As host/host.h says, but for every source whatever it includes first:
    # msvcrt's printf family, not the toolchain's replacement.
    target_compile_definitions(${name} PRIVATE __USE_MINGW_ANSI_STDIO=0)
    target_compile_options(${name} PRIVATE $<$<COMPILE_LANGUAGE:CXX>:${VNTR_WIN98_CXX_FLAGS}>)
    target_link_options(${name} PRIVATE ${VNTR_WIN98_LINK_FLAGS}
                        -Wl,--entry,${entry} -Wl,--subsystem,${subsystem}:4.0
                        -Wl,-Map,${CMAKE_CURRENT_BINARY_DIR}/${name}.map)
    # msvcrt first: its static helpers may call into kernel32; libgcc last.
    target_link_libraries(${name} PRIVATE msvcrt kernel32 user32 advapi32 gcc)
    set_target_properties(${name} PROPERTIES LINK_DEPENDS ${VNTR_WIN98_LINKER_SCRIPT})
endfunction()

# A program built the way setup.exe is: own start-up, Windows 98 flags.
function(vntr_add_win98_program name)
    add_executable(${name} WIN32 ${ARGN} ${CMAKE_SOURCE_DIR}/host/win/start.cpp)
    vntr_win98_build(${name} windows _VntrStart)
endfunction()

# The same for a console program: host/win/console_start.cpp instead.
function(vntr_add_win98_console_program name)
    add_executable(${name} ${ARGN} ${CMAKE_SOURCE_DIR}/host/win/console_start.cpp)
    vntr_win98_build(${name} console _VntrConsoleStart)
endfunction()

vntr_add_win98_program(setup ${PROGRAM_SOURCES} ${CMAKE_SOURCE_DIR}/res/setup.rc)
# windres is given no dependency scanning: name what setup.rc reads.
set_source_files_properties(${CMAKE_SOURCE_DIR}/res/setup.rc PROPERTIES
    OBJECT_DEPENDS "${CMAKE_SOURCE_DIR}/res/ids.h;${CMAKE_SOURCE_DIR}/res/strings.h;${CMAKE_SOURCE_DIR}/res/setup.ico")

# vntrcapture.exe, the machine capture program. Its texts and tables are
# aligned as the ABI asks, not to 32 bytes: that alone saves a kilobyte.
# The capture shares the program's path helpers (the simulator's build links
# them with the program).
vntr_add_win98_console_program(vntrcapture ${CAPTURE_SOURCES} ${CMAKE_SOURCE_DIR}/common/paths.cpp)
target_compile_options(vntrcapture PRIVATE -malign-data=abi)

if(VNTR_AUDIT_PROBES)
    # The program without its resource script.
    vntr_add_win98_program(probe-norsrc ${PROGRAM_SOURCES})
    # The start-up under a WinMain that reports what it was given.
    vntr_add_win98_program(probe-start ${CMAKE_SOURCE_DIR}/tests/pe/probe_start.cpp)
    # An ordinary program with the toolchain's own start-up and libraries,
    # importing setupapi.dll.
    add_executable(probe-crt ${CMAKE_SOURCE_DIR}/tests/pe/probe_crt.cpp)
    target_link_libraries(probe-crt PRIVATE setupapi)
endif()

# The host contract checks as a Windows program, run under Wine by the tests.
include(${CMAKE_SOURCE_DIR}/tests/contract/contract-win.cmake)
