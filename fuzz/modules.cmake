# Fuzz target over the module configuration parser; its source is compiled into the target so that
# it carries the fuzzer's coverage instrumentation.
add_executable(fuzz_module_config
  ${CMAKE_CURRENT_LIST_DIR}/fuzz_module_config.cpp
  ${PROJECT_SOURCE_DIR}/src/modules/module_config.cpp)
target_include_directories(fuzz_module_config PRIVATE ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(fuzz_module_config PRIVATE vyo_platform vyo_base vyo_warnings)
set_target_properties(fuzz_module_config PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
