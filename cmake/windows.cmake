# Windows build (MinGW-w64, posix threads): the program and its layers, the Wine
# tests and benchmarks, and the UI driver. Everything links statically so that
# the program needs no DLL beyond Windows' own.
add_compile_definitions(UNICODE _UNICODE)
# Line tables and function names (-g1) for the symbols folder; the shipped
# program is stripped of them after the link.
add_compile_options(-Wall -Wextra -Wno-missing-field-initializers -Wno-cast-function-type -ffunction-sections -fdata-sections -g1)
add_link_options(-static -static-libgcc -static-libstdc++ -Wl,--gc-sections)
# The crash handler walks i686 stacks along the frame pointers.
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "i686")
  add_compile_options(-fno-omit-frame-pointer)
endif()
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})

set(QUORVANE_SERVICE_HTTP_HOST_EFFECTIVE "${QUORVANE_SERVICE_HTTP_HOST}")
if(QUORVANE_SERVICE_HTTP_HOST_EFFECTIVE STREQUAL "")
  set(QUORVANE_SERVICE_HTTP_HOST_EFFECTIVE "${QUORVANE_SERVICE_HOST}")
endif()

# What each layer calls in Windows beside the layers below it.
find_library(QUORVANE_ZLIB NAMES libz.a z)
set(QUORVANE_LAYER_LIBRARIES_vek advapi32 bcrypt ole32 oleaut32 uuid psapi shell32 urlmon user32 version winhttp)
if(QUORVANE_ZLIB)
  list(APPEND QUORVANE_LAYER_LIBRARIES_vek ${QUORVANE_ZLIB})
endif()
set(QUORVANE_LAYER_LIBRARIES_ui comctl32 gdi32 gdiplus shlwapi user32)
set(QUORVANE_LAYER_LIBRARIES_core ole32 shell32 version)
set(QUORVANE_LAYER_LIBRARIES_pages comctl32 user32)
set(QUORVANE_LAYER_LIBRARIES_app comctl32 ole32 shell32 user32)
quorvane_add_layers("")
target_compile_definitions(quorvane_app PRIVATE
  QUORVANE_SERVICE_HOST=u"${QUORVANE_SERVICE_HOST}"
  QUORVANE_SERVICE_HTTP_HOST=u"${QUORVANE_SERVICE_HTTP_HOST_EFFECTIVE}")

add_executable(quorvane WIN32 app/entry_win.cpp app/res/quorvane.rc)
target_link_options(quorvane PRIVATE -municode)
target_link_libraries(quorvane PRIVATE quorvane_app)
# The link writes the unstripped program into symbols/, which the service's
# --symbols reads to name the frames of crash reports; the shipped quorvane.exe
# beside it is that file stripped, with the same TimeDateStamp.
set_target_properties(quorvane PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/symbols)
add_custom_command(TARGET quorvane POST_BUILD
  COMMAND sh ${PROJECT_SOURCE_DIR}/cmake/strip-keep-stamp.sh ${CMAKE_OBJCOPY} $<TARGET_FILE:quorvane> ${CMAKE_BINARY_DIR}/quorvane.exe
  VERBATIM)
set_source_files_properties(app/res/quorvane.rc PROPERTIES
  OBJECT_DEPENDS "${PROJECT_SOURCE_DIR}/app/res/quorvane.manifest;${PROJECT_SOURCE_DIR}/app/res/logo.png;${PROJECT_SOURCE_DIR}/ui/ostivnet.style")

# GoogleTest for MinGW, built from Debian's sources.
set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

quorvane_glob(QUORVANE_WIN_TESTS tests/win/*.cpp)
add_executable(quorvane_win_tests ${QUORVANE_WIN_TESTS} ${QUORVANE_SUPPORT_SOURCES})
target_include_directories(quorvane_win_tests PRIVATE ${PROJECT_SOURCE_DIR})
target_link_libraries(quorvane_win_tests PRIVATE quorvane_app gtest gmock)
target_link_options(quorvane_win_tests PRIVATE -municode)
add_dependencies(quorvane_win_tests quorvane)

# The timings under Wine (tests/bench/*_win.cpp): built with the tests, run by
# hand or by scripts/bench-*, never by the test run.
quorvane_glob(QUORVANE_WIN_BENCH tests/bench/*_win.cpp)
add_executable(quorvane_win_bench ${QUORVANE_WIN_BENCH} tests/win/test_main.cpp ${QUORVANE_SUPPORT_SOURCES})
target_link_libraries(quorvane_win_bench PRIVATE quorvane_app gtest gmock)
target_link_options(quorvane_win_bench PRIVATE -municode)

# The UI driver: a console program that drives the main window from outside.
add_executable(qvdriver tests/driver/qvdriver.cpp)
target_link_options(qvdriver PRIVATE -municode)
target_link_libraries(qvdriver PRIVATE comctl32 user32 gdi32)

# Small programs the tests start, end and look at.
quorvane_glob(QUORVANE_TEST_PROGRAMS tests/programs/*.cpp)
list(FILTER QUORVANE_TEST_PROGRAMS EXCLUDE REGEX "_dll\\.cpp$")
foreach(src ${QUORVANE_TEST_PROGRAMS})
  get_filename_component(name ${src} NAME_WE)
  add_executable(${name} ${src})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  target_link_options(${name} PRIVATE -municode)
  target_link_libraries(${name} PRIVATE user32 gdi32)
endforeach()
# The registry tool makes and dumps registry links as the unit tests do.
target_sources(qv_regtool PRIVATE tests/support/registry_links_win.cpp)
# The crash handler's test program faults with the program's own handler, and
# loads a DLL that faults in its DllMain.
target_link_libraries(qv_crasher PRIVATE quorvane_app)
add_library(qv_fault_dll SHARED tests/programs/qv_fault_dll.cpp)
target_include_directories(qv_fault_dll PRIVATE ${PROJECT_SOURCE_DIR})
set_target_properties(qv_fault_dll PROPERTIES PREFIX "")
add_dependencies(qv_crasher qv_fault_dll)

# Only the x86_64 build runs here (under Wine); the i686 build is compiled and linked.
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
  add_test(NAME win.unit COMMAND quorvane_win_tests)
  set_tests_properties(win.unit PROPERTIES TIMEOUT 600)
  quorvane_glob(QUORVANE_E2E tests/e2e/*.sh)
  foreach(script ${QUORVANE_E2E})
    get_filename_component(name ${script} NAME_WE)
    add_test(NAME e2e.${name} COMMAND bash ${script})
    set_tests_properties(e2e.${name} PROPERTIES TIMEOUT 300 RUN_SERIAL TRUE
      ENVIRONMENT "QV_BUILD=${CMAKE_BINARY_DIR};QV_SOURCE=${PROJECT_SOURCE_DIR}")
  endforeach()
endif()
