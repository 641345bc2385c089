# Native build: the portable core, its unit tests (with sanitizers), benchmarks,
# fuzz targets (clang only) and the web service.
option(QUORVANE_FUZZ_ONLY "build only the fuzz targets" OFF)
set(QUORVANE_FUZZ_SECONDS 10 CACHE STRING "how long each fuzz target runs in the test run")
add_compile_options(-Wall -Wextra)

find_package(ZLIB REQUIRED)

add_library(quorvane_core STATIC ${QUORVANE_CORE_SOURCES})
target_include_directories(quorvane_core PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(quorvane_core PUBLIC ZLIB::ZLIB)

# libFuzzer targets, one per file in tests/fuzz, when the compiler is clang.
quorvane_glob(QUORVANE_FUZZ_SOURCES tests/fuzz/*.cpp)
if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang" AND QUORVANE_FUZZ_SOURCES)
  # The core once, instrumented for coverage; each target adds libFuzzer's main.
  add_library(quorvane_fuzz_core STATIC ${QUORVANE_CORE_SOURCES})
  target_include_directories(quorvane_fuzz_core PUBLIC ${PROJECT_SOURCE_DIR})
  target_compile_options(quorvane_fuzz_core PRIVATE -fsanitize=fuzzer-no-link,address,undefined)
  target_link_libraries(quorvane_fuzz_core PUBLIC ZLIB::ZLIB)
  foreach(src ${QUORVANE_FUZZ_SOURCES})
    get_filename_component(name ${src} NAME_WE)
    add_executable(fuzz_${name} ${src})
    target_link_libraries(fuzz_${name} PRIVATE quorvane_fuzz_core)
    target_compile_options(fuzz_${name} PRIVATE -fsanitize=fuzzer,address,undefined)
    target_link_options(fuzz_${name} PRIVATE -fsanitize=fuzzer,address,undefined)
    add_test(NAME fuzz.${name} COMMAND fuzz_${name} -max_total_time=${QUORVANE_FUZZ_SECONDS} -seed=1 -rss_limit_mb=1024)
  endforeach()
endif()
if(QUORVANE_FUZZ_ONLY)
  return()
endif()

find_package(GTest REQUIRED)
include(GoogleTest)

# The unit tests compile the core again with AddressSanitizer and UBSan, so that
# the library the benchmarks and the service link stays unsanitised.
quorvane_glob(QUORVANE_NATIVE_TESTS tests/native/*.cpp)
add_executable(quorvane_native_tests ${QUORVANE_NATIVE_TESTS} ${QUORVANE_SUPPORT_SOURCES} ${QUORVANE_CORE_SOURCES})
target_include_directories(quorvane_native_tests PRIVATE ${PROJECT_SOURCE_DIR})
target_compile_definitions(quorvane_native_tests PRIVATE QUORVANE_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
target_compile_options(quorvane_native_tests PRIVATE -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
target_link_options(quorvane_native_tests PRIVATE -fsanitize=address,undefined)
target_link_libraries(quorvane_native_tests PRIVATE GTest::gtest GTest::gtest_main GTest::gmock ZLIB::ZLIB)
gtest_discover_tests(quorvane_native_tests DISCOVERY_MODE PRE_TEST TEST_PREFIX "native.")

find_package(benchmark QUIET)
quorvane_glob(QUORVANE_BENCH_SOURCES tests/bench/*.cpp)
if(benchmark_FOUND AND QUORVANE_BENCH_SOURCES)
  add_executable(quorvane_bench ${QUORVANE_BENCH_SOURCES} ${QUORVANE_SUPPORT_SOURCES})
  target_link_libraries(quorvane_bench PRIVATE quorvane_core benchmark::benchmark benchmark::benchmark_main)
endif()


if(EXISTS ${PROJECT_SOURCE_DIR}/service/CMakeLists.txt)
  add_subdirectory(service)
endif()
