# Hit-mask frame analysis at 1080p (scalar, AVX2, fused with the copy) beside a streaming read and a
# memcpy of the same frame.
add_executable(bench_hit_mask ${CMAKE_CURRENT_LIST_DIR}/bench_hit_mask.cpp)
target_link_libraries(bench_hit_mask PRIVATE vyo_capture benchmark::benchmark vyo_warnings)
