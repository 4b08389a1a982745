# Fuzz target over the package reader. The content sources are compiled into the target so that
# they carry the fuzzer's coverage instrumentation.
if(NOT WIN32)
  find_package(OpenSSL 3 REQUIRED COMPONENTS Crypto)
  find_package(ZLIB REQUIRED)
  add_executable(fuzz_package_reader
    ${CMAKE_CURRENT_LIST_DIR}/fuzz_package_reader.cpp
    ${PROJECT_SOURCE_DIR}/src/content/crypto_common.cpp
    ${PROJECT_SOURCE_DIR}/src/content/crypto_openssl.cpp
    ${PROJECT_SOURCE_DIR}/src/content/package.cpp)
  target_include_directories(fuzz_package_reader PRIVATE ${PROJECT_SOURCE_DIR}/src)
  target_compile_options(fuzz_package_reader PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_options(fuzz_package_reader PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_libraries(fuzz_package_reader PRIVATE vyo_platform vyo_base OpenSSL::Crypto ZLIB::ZLIB vyo_warnings)
  set_target_properties(fuzz_package_reader PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
endif()
