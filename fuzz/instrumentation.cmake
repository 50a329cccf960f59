# Compile options for every target of a fuzzing build (clang only): libFuzzer's
# coverage hooks with ASan and UBSan, where every UBSan report aborts; or, for
# measuring what the corpora reach, source-based coverage instead.
if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  message(FATAL_ERROR "VANTREL_BUILD_FUZZERS needs clang (e.g. CXX=clang++-19)")
endif()
if(VANTREL_FUZZ_COVERAGE)
  set(VANTREL_FUZZ_COMPILE -fsanitize=fuzzer-no-link -fprofile-instr-generate -fcoverage-mapping)
  set(VANTREL_FUZZ_LINK -fsanitize=fuzzer -fprofile-instr-generate)
else()
  set(VANTREL_FUZZ_COMPILE -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all
                           -fno-omit-frame-pointer)
  set(VANTREL_FUZZ_LINK -fsanitize=fuzzer,address,undefined)
endif()
add_compile_options(-g ${VANTREL_FUZZ_COMPILE})
