# The fuzz targets, each tests/fuzz/<name>.cpp with its seed corpus in
# tests/fuzz/corpus/<name>/ and kept failing inputs in
# tests/fuzz/regressions/<name>/.
set(VNTR_FUZZ_TARGETS message_file hardware_ids registry_scan directory_lengths capture_text inf_file)

# Libraries a target needs besides the program and the simulated machine.
set(VNTR_FUZZ_LIBS_capture_text vntr_capture)
