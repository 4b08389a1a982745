# Package entry reads against the bare OpenSSL and zlib calls, and the cache-hit lookup.
if(TARGET vyo_content AND NOT WIN32)
  find_package(OpenSSL 3 REQUIRED COMPONENTS Crypto)
  find_package(ZLIB REQUIRED)
  add_executable(bench_content ${CMAKE_CURRENT_LIST_DIR}/bench_content.cpp)
  target_link_libraries(bench_content PRIVATE vyo_content OpenSSL::Crypto ZLIB::ZLIB benchmark::benchmark vyo_warnings)
endif()
