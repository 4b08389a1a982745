# Module service calls: a call from a module's thread until its effect on the main thread, at 1 kHz,
# beside a bare condition-variable hand-off between two threads.
add_executable(bench_modules ${CMAKE_CURRENT_LIST_DIR}/bench_modules.cpp)
target_link_libraries(bench_modules PRIVATE vyo_host_core benchmark::benchmark vyo_warnings)
target_include_directories(bench_modules PRIVATE ${PROJECT_SOURCE_DIR}/tests)
