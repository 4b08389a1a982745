# Input latency: a record written into the input ring until the host hands it to the view's web
# view, under a steady 1 kHz pointer stream, beside a bare wake-up between two threads through the
# same kind of named event.
add_executable(bench_input ${CMAKE_CURRENT_LIST_DIR}/bench_input.cpp)
target_link_libraries(bench_input PRIVATE vyo_host_core benchmark::benchmark vyo_warnings)
target_include_directories(bench_input PRIVATE ${PROJECT_SOURCE_DIR}/tests)
