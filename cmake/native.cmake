# Linux build: the simulated machine, the program over it, the command-line
# simulator and the tests.
option(VNTR_WINDOWS_BUILD "Also cross-build setup.exe with mingw" ON)
option(VNTR_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
option(VNTR_FUZZ "Build the libFuzzer targets (clang)" OFF)

find_package(PkgConfig REQUIRED)
pkg_check_modules(TOMLPP REQUIRED IMPORTED_TARGET tomlplusplus)
find_package(nlohmann_json REQUIRED)
find_package(GTest REQUIRED)
# --check's differences: Debian's libdtl, a header-only sequence-diff library.
find_path(VNTR_DTL_INCLUDE dtl/dtl.hpp REQUIRED
          DOC "libdtl's headers (Debian: libdtl-dev, installed by scripts/bootstrap)")
enable_testing()

add_compile_options(-Wall -Wextra)
# The presets that CI builds from scratch compile each target as one unit
# (CMAKE_UNITY_BUILD): the JSON, TOML and test headers are read once a
# target instead of once a file. GCC takes the sources such a unit includes
# for headers, and would warn of every test fixture in an anonymous
# namespace.
if(CMAKE_UNITY_BUILD AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    add_compile_options($<$<COMPILE_LANGUAGE:CXX>:-Wno-subobject-linkage>)
endif()
if(VNTR_SANITIZE)
    add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
    add_link_options(-fsanitize=address,undefined)
endif()

# The program proper, compiled against the simulated host.
add_library(vntr_program STATIC ${PROGRAM_SOURCES})
target_include_directories(vntr_program PUBLIC ${CMAKE_SOURCE_DIR})

add_library(vntr_sim STATIC
    sim/calls.cpp
    sim/charsets.cpp
    sim/codepage.cpp
    ${VNTR_CODEPAGE_TABLES}
    sim/event.cpp
    sim/hostfiles.cpp
    sim/machine.cpp
    sim/machine_file.cpp
    sim/presets.cpp
    sim/runtime.cpp
    sim/runner.cpp
    sim/slots.cpp
    sim/winapi.cpp
    sim/devices.cpp
    sim/inf.cpp
    sim/expect.cpp
    sim/locales.cpp
    sim/package.cpp
)
target_include_directories(vntr_sim PUBLIC ${CMAKE_SOURCE_DIR} ${VNTR_DTL_INCLUDE})
target_compile_definitions(vntr_sim PRIVATE VNTR_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
target_link_libraries(vntr_sim PUBLIC PkgConfig::TOMLPP nlohmann_json::nlohmann_json)
# The program and its host need each other.
target_link_libraries(vntr_program PUBLIC vntr_sim)
target_link_libraries(vntr_sim PUBLIC vntr_program)

# The option parser and the report, shared by both front ends and the
# benchmarks, compiled once.
add_library(vntr_cli STATIC sim/cli/options.cpp sim/cli/report.cpp sim/cli/check_package.cpp)
target_link_libraries(vntr_cli PUBLIC vntr_sim vntr_program)

add_executable(vntrsetup-sim sim/cli/vntrsetup_sim.cpp)
target_link_libraries(vntrsetup-sim PRIVATE vntr_cli vntr_sim vntr_program)

# The machine capture program over the simulated host, and the command that
# runs it there.
add_library(vntr_capture STATIC ${CAPTURE_SOURCES} sim/cli/capture_run.cpp)
target_include_directories(vntr_capture PUBLIC ${CMAKE_SOURCE_DIR} ${VNTR_GENERATED})
target_link_libraries(vntr_capture PUBLIC vntr_sim vntr_program)
add_executable(vntrcapture-sim sim/cli/vntrcapture_sim.cpp)
target_link_libraries(vntrcapture-sim PRIVATE vntr_cli vntr_capture)

# cmake --install: the simulator in <prefix>/bin and the example package and
# machines in <prefix>/share/vntrsetup, where the simulator looks for the
# package (../share/vntrsetup/package from its own folder) before the source
# tree. The layout is fixed, not GNUInstallDirs, because the binary relies on it.
install(TARGETS vntrsetup-sim vntrcapture-sim RUNTIME DESTINATION bin)
install(DIRECTORY examples/package/ DESTINATION share/vntrsetup/package)
install(DIRECTORY examples/machines/ DESTINATION share/vntrsetup/machines)

include(tests/unit/tests.cmake)
include(tests/bench/bench.cmake)
include(tests/contract/contract.cmake)
include(tests/fuzz/replay.cmake)
include(tests/install/install.cmake)
include(tests/scripts/scripts.cmake)
if(VNTR_FUZZ)
    include(cmake/fuzz.cmake)
endif()

# What the tests labelled unit run: the sanitizer stage of scripts/test-all
# builds only these.
add_custom_target(unit_programs)
add_dependencies(unit_programs unit_tests contract_sim vntrsetup-sim vntrcapture-sim)
foreach(target ${VNTR_FUZZ_TARGETS})
    add_dependencies(unit_programs fuzz_replay_${target})
endforeach()

# setup.exe, and the tests that need it or the mingw toolchain and Wine: the
# PE audit, the end-to-end suite and the contract checks under Wine. Without
# the Windows build they are not registered at all, so that every test ctest
# lists can run.
if(VNTR_WINDOWS_BUILD)
    include(cmake/setup-exe.cmake)
    include(cmake/e2e.cmake)
    include(cmake/capture.cmake)
else()
    message(STATUS "VNTR_WINDOWS_BUILD is OFF: setup.exe is not built; the PE audit, "
                   "end-to-end and Wine contract tests are not registered")
endif()
