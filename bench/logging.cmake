# Synchronous record writing through the logger (compressed and encrypted) against writing the same
# record lines unprocessed to a file.
if(TARGET vyo_logging AND NOT WIN32)
  add_executable(bench_logging ${CMAKE_CURRENT_LIST_DIR}/bench_logging.cpp)
  target_link_libraries(bench_logging PRIVATE vyo_logging benchmark::benchmark vyo_warnings)
endif()
