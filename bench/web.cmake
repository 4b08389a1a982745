# Web content through the real host and the real browser against the same files from a plain local
# HTTP server: ViewCreate to navigation completed, and resource answers per second. Runs the
# loopback-telemetry host (its collector is in the benchmark) and packs the site with vyo-pack.
if(NOT WIN32 AND TARGET FenyraOverlayHostQosLoopback AND TARGET vyo-pack)
  add_executable(bench_web ${CMAKE_CURRENT_LIST_DIR}/bench_web.cpp)
  target_link_libraries(bench_web PRIVATE overlay_sim benchmark::benchmark vyo_warnings)
  target_include_directories(bench_web PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  target_compile_definitions(bench_web PRIVATE VYO_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
  add_dependencies(bench_web FenyraOverlayHostQosLoopback vyo-pack)
endif()
