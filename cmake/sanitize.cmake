# The sanitizer tree (tests/sanitize): every target of the build compiled and linked with
# AddressSanitizer and UndefinedBehaviorSanitizer, and with libFuzzer's coverage
# instrumentation, so that one tree serves the C++ tests under the sanitizers and the fuzz
# targets of tests/fuzz. Included by the top-level CMakeLists.txt when TOLVANE_SANITIZE
# names the sanitizers (tests/sanitize/build.sh configures such a tree with clang).
#
#   TOLVANE_SANITIZE   e.g. "address,undefined"
#   TOLVANE_FUZZ       ON: also -fsanitize=fuzzer-no-link everywhere and the fuzz
#                      targets of tests/fuzz (needs clang's libFuzzer, Debian package
#                      libclang-rt-14-dev)
#
# Undefined behaviour is never recovered from (-fno-sanitize-recover=undefined): the
# first report ends the process, so a test or a fuzz run cannot pass over one.
# -O1 keeps the instrumented code fast enough and its stacks readable; assertions stay
# on (no NDEBUG).

if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  if(TOLVANE_FUZZ)
    message(FATAL_ERROR "The fuzz targets need clang (CXX=clang++); this tree uses "
                        "${CMAKE_CXX_COMPILER_ID}.\nDebian package: clang")
  endif()
endif()

set(TOLVANE_SANITIZE_FLAGS
  -fsanitize=${TOLVANE_SANITIZE}
  -fno-sanitize-recover=undefined
  -fno-omit-frame-pointer)
add_compile_options(${TOLVANE_SANITIZE_FLAGS} -O1 -g)
add_link_options(${TOLVANE_SANITIZE_FLAGS})

if(TOLVANE_FUZZ)
  include(CheckCXXSourceCompiles)
  set(CMAKE_REQUIRED_FLAGS "-fsanitize=fuzzer")
  check_cxx_source_compiles(
    "#include <cstddef>
     #include <cstdint>
     extern \"C\" int LLVMFuzzerTestOneInput(const uint8_t*, size_t) { return 0; }"
    TOLVANE_HAVE_LIBFUZZER)
  unset(CMAKE_REQUIRED_FLAGS)
  if(NOT TOLVANE_HAVE_LIBFUZZER)
    tolvane_missing("clang's libFuzzer (-fsanitize=fuzzer)" libclang-rt-14-dev)
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link)
  add_link_options(-fsanitize=fuzzer-no-link)
endif()
