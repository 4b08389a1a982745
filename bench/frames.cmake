# Frames: the host's cost per screencast frame (reading the message, base64, PNG decoding with
# libspng and libpng, reordering, publishing into a shared texture) beside memcpy of the same bytes
# and the browser's own time per frame; and frames per second and latency through the real host
# beside a bare DevTools client of the same browser.
if(NOT WIN32 AND TARGET vyo_web_cdp)
  find_package(PNG REQUIRED)
  add_executable(bench_frames ${CMAKE_CURRENT_LIST_DIR}/bench_frames.cpp)
  target_link_libraries(bench_frames PRIVATE overlay_sim vyo_capture vyo_web_cdp PNG::PNG benchmark::benchmark
                                             vyo_warnings)
  target_include_directories(bench_frames SYSTEM PRIVATE ${CMAKE_BINARY_DIR}/src/renderers/cdp/json)
  add_dependencies(bench_frames FenyraOverlayHost)
endif()
