# libFuzzer targets (the fuzz preset, clang). The program proper is
# instrumented for coverage; the program, the simulated machine and the
# targets all run under AddressSanitizer and UndefinedBehaviorSanitizer.
# Build them with the fuzz_targets target; scripts/fuzz-all runs them.
if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "The fuzz targets need clang and its libFuzzer: configure with the fuzz preset")
endif()

# clang without its runtime package compiles but cannot link a fuzzer; say
# so now rather than at the first link.
include(CheckCXXSourceCompiles)
string(REGEX MATCH "^[0-9]+" vntr_clang_major "${CMAKE_CXX_COMPILER_VERSION}")
set(CMAKE_REQUIRED_FLAGS -fsanitize=fuzzer,address,undefined)
set(CMAKE_REQUIRED_LINK_OPTIONS -fsanitize=fuzzer,address,undefined)
check_cxx_source_compiles([[
#include <cstddef>
#include <cstdint>
extern "C" int LLVMFuzzerTestOneInput(const uint8_t*, size_t) { return 0; }
]] VNTR_LIBFUZZER_LINKS)
unset(CMAKE_REQUIRED_FLAGS)
unset(CMAKE_REQUIRED_LINK_OPTIONS)
if(NOT VNTR_LIBFUZZER_LINKS)
    message(FATAL_ERROR "${CMAKE_CXX_COMPILER} cannot link a libFuzzer target with the sanitizers: "
                        "install libclang-rt-${vntr_clang_major}-dev (scripts/bootstrap --all)")
endif()

include(${CMAKE_SOURCE_DIR}/tests/fuzz/targets.cmake)
set(VNTR_FUZZ_SANITIZERS -fsanitize=address,undefined -fno-sanitize-recover=undefined
    -fno-omit-frame-pointer)
target_compile_options(vntr_program PRIVATE ${VNTR_FUZZ_SANITIZERS} -fsanitize=fuzzer-no-link)
target_compile_options(vntr_sim PRIVATE ${VNTR_FUZZ_SANITIZERS})
# The INF reader is itself fuzzed (inf_file): its coverage guides the fuzzer.
set_source_files_properties(sim/inf.cpp PROPERTIES COMPILE_OPTIONS -fsanitize=fuzzer-no-link)
target_compile_options(vntr_capture PRIVATE ${VNTR_FUZZ_SANITIZERS} -fsanitize=fuzzer-no-link)
# Whatever else links the two libraries gets the sanitizer runtime too.
target_link_options(vntr_sim INTERFACE -fsanitize=address,undefined)

add_custom_target(fuzz_targets)
foreach(target ${VNTR_FUZZ_TARGETS})
    add_executable(fuzz_${target} tests/fuzz/${target}.cpp)
    target_compile_options(fuzz_${target} PRIVATE ${VNTR_FUZZ_SANITIZERS} -fsanitize=fuzzer)
    target_link_libraries(fuzz_${target} PRIVATE ${VNTR_FUZZ_LIBS_${target}} vntr_sim vntr_program)
    target_link_options(fuzz_${target} PRIVATE -fsanitize=fuzzer,address,undefined)
    add_dependencies(fuzz_targets fuzz_${target})
endforeach()
