# The libFuzzer target (tests/fuzz), built with clang: configure with
#   -DCMAKE_CXX_COMPILER=clang++ -DKESTRIM_FUZZ=ON
# The whole library is then built with coverage instrumentation and
# AddressSanitizer + UndefinedBehaviorSanitizer; scripts/test-fuzz.sh runs it.
option(KESTRIM_FUZZ "Build the libFuzzer target (clang only)" OFF)
if(KESTRIM_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "KESTRIM_FUZZ needs clang (-DCMAKE_CXX_COMPILER=clang++)")
  endif()
  add_compile_options(-g -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
  add_subdirectory(${PROJECT_SOURCE_DIR}/tests/fuzz ${PROJECT_BINARY_DIR}/fuzz)
endif()
