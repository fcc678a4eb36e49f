# The clang of the fuzz preset: the version scripts/bootstrap installs together
# with its sanitizer and libFuzzer runtime (clang-N and libclang-rt-N-dev), so
# the compiler and the runtime it links come from the same release.
file(STRINGS ${CMAKE_CURRENT_LIST_DIR}/../scripts/bootstrap vntr_clang_line
     REGEX "^clang_version=[0-9]+$")
if(NOT vntr_clang_line)
    message(FATAL_ERROR "scripts/bootstrap has no line clang_version=N naming the clang to use")
endif()
string(REPLACE "clang_version=" "" VNTR_CLANG_VERSION "${vntr_clang_line}")

find_program(VNTR_CLANG_CXX clang++-${VNTR_CLANG_VERSION})
if(NOT VNTR_CLANG_CXX)
    message(FATAL_ERROR "clang++-${VNTR_CLANG_VERSION} not found: run scripts/bootstrap --all "
                        "(it installs clang-${VNTR_CLANG_VERSION} and "
                        "libclang-rt-${VNTR_CLANG_VERSION}-dev)")
endif()
set(CMAKE_CXX_COMPILER ${VNTR_CLANG_CXX})
