# Fuzz targets over what pages and the browser send: page control messages (the message rules are
# compiled into the target for the fuzzer's coverage) and the screencast frame finder.
add_executable(fuzz_page_messages
  ${CMAKE_CURRENT_LIST_DIR}/fuzz_page_messages.cpp
  ${PROJECT_SOURCE_DIR}/src/renderers/web/page_messages.cpp
  ${PROJECT_SOURCE_DIR}/src/capture/dirty_reports.cpp)
target_include_directories(fuzz_page_messages PRIVATE ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(fuzz_page_messages PRIVATE vyo_base vyo_warnings)
set_target_properties(fuzz_page_messages PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)

if(TARGET vyo_web_cdp)
  # The DevTools backend is instrumented for coverage (and the sanitizers) in the fuzz build.
  target_compile_options(vyo_web_cdp PRIVATE -fsanitize=fuzzer-no-link,address,undefined)
  add_executable(fuzz_screencast_frame ${CMAKE_CURRENT_LIST_DIR}/fuzz_screencast_frame.cpp)
  target_link_libraries(fuzz_screencast_frame PRIVATE vyo_web_cdp vyo_warnings)
  target_include_directories(fuzz_screencast_frame SYSTEM PRIVATE ${CMAKE_BINARY_DIR}/src/renderers/cdp/json)
  set_target_properties(fuzz_screencast_frame PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
endif()
