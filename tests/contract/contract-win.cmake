# The host contract checks as a Windows console program, for Wine.
add_executable(contract tests/contract/checks.cpp tests/contract/env_win.cpp)
target_include_directories(contract PRIVATE ${CMAKE_SOURCE_DIR})
target_link_libraries(contract PRIVATE setupapi)
target_link_options(contract PRIVATE -static-libgcc -static-libstdc++ -mconsole)
