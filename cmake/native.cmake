# Native build: the portable layers, their unit tests (with sanitizers),
# benchmarks, fuzz targets (clang only) and the web service.
option(QUORVANE_FUZZ_ONLY "build only the fuzz targets" OFF)
set(QUORVANE_FUZZ_SECONDS 10 CACHE STRING "how long each fuzz target runs in the test run")
add_compile_options(-Wall -Wextra)

find_package(ZLIB REQUIRED)
set(QUORVANE_LAYER_LIBRARIES_vek ZLIB::ZLIB)

# libFuzzer targets, one per file in tests/fuzz, when the compiler is clang: the
# layers once more, instrumented for coverage; each target adds libFuzzer's main.
quorvane_glob(QUORVANE_FUZZ_SOURCES tests/fuzz/*.cpp)
if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang" AND QUORVANE_FUZZ_SOURCES)
  quorvane_add_layers(_fuzz -fsanitize=fuzzer-no-link,address,undefined)
  foreach(src ${QUORVANE_FUZZ_SOURCES})
    get_filename_component(name ${src} NAME_WE)
    add_executable(fuzz_${name} ${src})
    target_link_libraries(fuzz_${name} PRIVATE quorvane_app_fuzz)
    target_compile_options(fuzz_${name} PRIVATE -fsanitize=fuzzer,address,undefined)
    target_link_options(fuzz_${name} PRIVATE -fsanitize=fuzzer,address,undefined)
    add_test(NAME fuzz.${name} COMMAND fuzz_${name} -max_total_time=${QUORVANE_FUZZ_SECONDS} -seed=1 -rss_limit_mb=1024)
  endforeach()
endif()
if(QUORVANE_FUZZ_ONLY)
  return()
endif()

# The layers as they ship (for the benchmarks and the service), and again with
# AddressSanitizer and UBSan for the unit tests.
quorvane_add_layers("")
set(QUORVANE_SANITIZE -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
quorvane_add_layers(_asan ${QUORVANE_SANITIZE})

find_package(GTest REQUIRED)
include(GoogleTest)

quorvane_glob(QUORVANE_NATIVE_TESTS tests/native/*.cpp)
add_executable(quorvane_native_tests ${QUORVANE_NATIVE_TESTS} ${QUORVANE_SUPPORT_SOURCES})
target_include_directories(quorvane_native_tests PRIVATE ${PROJECT_SOURCE_DIR})
target_compile_definitions(quorvane_native_tests PRIVATE QUORVANE_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
target_compile_options(quorvane_native_tests PRIVATE ${QUORVANE_SANITIZE})
target_link_options(quorvane_native_tests PRIVATE -fsanitize=address,undefined)
target_link_libraries(quorvane_native_tests PRIVATE quorvane_app_asan GTest::gtest GTest::gtest_main GTest::gmock)
gtest_discover_tests(quorvane_native_tests DISCOVERY_MODE PRE_TEST TEST_PREFIX "native.")

# The layer check, and its own test against trees with planted includes.
add_test(NAME layers.check COMMAND bash ${PROJECT_SOURCE_DIR}/scripts/check-layers ${PROJECT_SOURCE_DIR})
add_test(NAME layers.planted_includes COMMAND bash ${PROJECT_SOURCE_DIR}/tests/scripts/check_layers_test.sh)

# Google Benchmark over the portable code; the Windows ones are in the win64 build.
find_package(benchmark QUIET)
quorvane_portable_glob(QUORVANE_BENCH_SOURCES tests/bench/*.cpp)
if(benchmark_FOUND AND QUORVANE_BENCH_SOURCES)
  add_executable(quorvane_bench ${QUORVANE_BENCH_SOURCES} ${QUORVANE_SUPPORT_SOURCES})
  target_link_libraries(quorvane_bench PRIVATE quorvane_app benchmark::benchmark benchmark::benchmark_main)
endif()

if(EXISTS ${PROJECT_SOURCE_DIR}/service/CMakeLists.txt)
  add_subdirectory(service)
endif()
