# The installed simulator, moved to another prefix, runs on its example
# package and machines; and the order in which the example package is looked
# for (beside the executable, then the source tree). Label install.
find_package(Python3 REQUIRED COMPONENTS Interpreter)

# The package lookup compiled with a source folder inside the test's work
# folder. Its own copy of presets.cpp takes the place of the library's.
set(VNTR_INSTALL_WORK ${CMAKE_BINARY_DIR}/install-test)
add_executable(package_dir_probe tests/install/package_dir_probe.cpp sim/presets.cpp)
target_compile_definitions(package_dir_probe PRIVATE
                           VNTR_SOURCE_DIR="${VNTR_INSTALL_WORK}/source")
target_link_libraries(package_dir_probe PRIVATE vntr_sim vntr_program)
# The library's presets.cpp must stay an object of its own, which the linker
# leaves out for the probe's copy, even in a build of one unit per target.
set_source_files_properties(sim/presets.cpp PROPERTIES SKIP_UNITY_BUILD_INCLUSION ON)

add_test(NAME install.relocated
         COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tests/install/relocation.py
                 --cmake ${CMAKE_COMMAND} --build ${CMAKE_BINARY_DIR}
                 --source ${CMAKE_SOURCE_DIR} --work ${VNTR_INSTALL_WORK}
                 --sim $<TARGET_FILE:vntrsetup-sim> --probe $<TARGET_FILE:package_dir_probe>)
set_tests_properties(install.relocated PROPERTIES LABELS install TIMEOUT 300)
