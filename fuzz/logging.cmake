# Fuzz target over the log reader (what vyo-log runs on untrusted files). The reader's sources are
# compiled into the target so that they carry the fuzzer's coverage instrumentation.
if(NOT WIN32)
  find_package(ZLIB REQUIRED)
  find_library(VYO_FUZZ_SECP256K1_LIB NAMES secp256k1 REQUIRED)
  add_executable(fuzz_log_reader
    ${CMAKE_CURRENT_LIST_DIR}/fuzz_log_reader.cpp
    ${PROJECT_SOURCE_DIR}/src/logging/log_reader.cpp
    ${PROJECT_SOURCE_DIR}/src/logging/log_crypt.cpp
    ${PROJECT_SOURCE_DIR}/src/logging/flush_deflater.cpp
    ${PROJECT_SOURCE_DIR}/src/logging/ec_secp256k1.cpp
    ${CMAKE_BINARY_DIR}/src/logging/reader_keys.cpp)
  target_include_directories(fuzz_log_reader PRIVATE ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(fuzz_log_reader PRIVATE vyo_platform vyo_base ZLIB::ZLIB ${VYO_FUZZ_SECP256K1_LIB} vyo_warnings)
  set_target_properties(fuzz_log_reader PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
endif()
