# Fuzz target over native buttons' image files (PNG, JPEG, GIF and the host's own BMP reader),
# premultiplied and stretched. The decoders' glue, the BMP reader and the stretch are compiled into
# the target so that they carry the fuzzer's coverage instrumentation.
find_library(VYO_FUZZ_SPNG_LIBRARY spng REQUIRED)
find_package(JPEG REQUIRED)
find_package(GIF REQUIRED)
add_executable(fuzz_image_file
  ${CMAKE_CURRENT_LIST_DIR}/fuzz_image_file.cpp
  ${PROJECT_SOURCE_DIR}/src/platform/posix/image_files.cpp
  ${PROJECT_SOURCE_DIR}/src/capture/image_files.cpp
  ${PROJECT_SOURCE_DIR}/src/capture/pixel_convert.cpp)
target_include_directories(fuzz_image_file PRIVATE ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(fuzz_image_file PRIVATE vyo_platform vyo_base ${VYO_FUZZ_SPNG_LIBRARY} JPEG::JPEG GIF::GIF
                                              vyo_warnings)
set_target_properties(fuzz_image_file PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
