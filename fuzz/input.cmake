# Fuzz target over the input ring: the ring reader and the input router (instrumented for coverage
# and the sanitizers in the fuzz build) over fake web views.
target_compile_options(vyo_input PRIVATE -fsanitize=fuzzer-no-link,address,undefined)
target_compile_options(vyo_shared_channels PRIVATE -fsanitize=fuzzer-no-link,address,undefined)
add_executable(fuzz_input_ring ${CMAKE_CURRENT_LIST_DIR}/fuzz_input_ring.cpp)
target_include_directories(fuzz_input_ring PRIVATE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/tests)
target_link_libraries(fuzz_input_ring PRIVATE vyo_host_core vyo_warnings)
set_target_properties(fuzz_input_ring PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
