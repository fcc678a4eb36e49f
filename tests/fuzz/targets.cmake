# The fuzz targets, each tests/fuzz/<name>.cpp with its seed corpus in
# tests/fuzz/corpus/<name>/ and kept failing inputs in
# tests/fuzz/regressions/<name>/.
set(VNTR_FUZZ_TARGETS message_file hardware_ids registry_scan directory_lengths capture_text)

# Libraries a target needs besides the program and the simulated machine.
set(VNTR_FUZZ_LIBS_capture_text vntr_capture)

# directory_lengths records the path argument of every call that takes a
# path, by wrapping those functions at link time.
set(VNTR_FUZZ_LINK_directory_lengths
    -Wl,--wrap=SetCurrentDirectoryA -Wl,--wrap=CreateDirectoryA -Wl,--wrap=CopyFileA
    -Wl,--wrap=LoadLibraryA -Wl,--wrap=HostFopen)
