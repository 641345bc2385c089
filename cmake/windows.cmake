# Windows build (MinGW-w64, posix threads): the program, its Win32 layer, the Wine
# tests and the UI driver. Everything links statically so that the program needs
# no DLL beyond Windows' own.
add_compile_definitions(UNICODE _UNICODE)
add_compile_options(-Wall -Wextra -Wno-missing-field-initializers -Wno-cast-function-type -ffunction-sections -fdata-sections)
add_link_options(-static -static-libgcc -static-libstdc++ -Wl,--gc-sections -s)
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})

set(QUORVANE_SERVICE_HTTP_HOST_EFFECTIVE "${QUORVANE_SERVICE_HTTP_HOST}")
if(QUORVANE_SERVICE_HTTP_HOST_EFFECTIVE STREQUAL "")
  set(QUORVANE_SERVICE_HTTP_HOST_EFFECTIVE "${QUORVANE_SERVICE_HOST}")
endif()

add_library(quorvane_core STATIC ${QUORVANE_CORE_SOURCES})
target_include_directories(quorvane_core PUBLIC ${PROJECT_SOURCE_DIR})

quorvane_glob(QUORVANE_WIN_SOURCES vek/*_win.cpp ui/*_win.cpp core/*_win.cpp pages/*_win.cpp app/*_win.cpp)
list(REMOVE_ITEM QUORVANE_WIN_SOURCES ${PROJECT_SOURCE_DIR}/app/entry_win.cpp)
add_library(quorvane_win STATIC ${QUORVANE_WIN_SOURCES})
target_compile_definitions(quorvane_win PRIVATE
  QUORVANE_SERVICE_HOST=u"${QUORVANE_SERVICE_HOST}"
  QUORVANE_SERVICE_HTTP_HOST=u"${QUORVANE_SERVICE_HTTP_HOST_EFFECTIVE}")
target_link_libraries(quorvane_win PUBLIC quorvane_core
  comctl32 uxtheme gdi32 gdiplus user32 shell32 shlwapi ole32 oleaut32 uuid
  advapi32 version bcrypt winhttp psapi urlmon)
find_library(QUORVANE_ZLIB NAMES libz.a z)
if(QUORVANE_ZLIB)
  target_link_libraries(quorvane_win PUBLIC ${QUORVANE_ZLIB})
endif()

add_executable(quorvane WIN32 app/entry_win.cpp app/res/quorvane.rc)
target_link_options(quorvane PRIVATE -municode)
target_link_libraries(quorvane PRIVATE quorvane_win)
set_source_files_properties(app/res/quorvane.rc PROPERTIES
  OBJECT_DEPENDS "${PROJECT_SOURCE_DIR}/app/res/quorvane.manifest;${PROJECT_SOURCE_DIR}/app/res/logo.png;${PROJECT_SOURCE_DIR}/ui/ostivnet.style")

# GoogleTest for MinGW, built from Debian's sources.
set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

quorvane_glob(QUORVANE_WIN_TESTS tests/win/*.cpp)
quorvane_glob(QUORVANE_SUPPORT_WIN_SOURCES tests/support/*_win.cpp)
add_executable(quorvane_win_tests ${QUORVANE_WIN_TESTS} ${QUORVANE_SUPPORT_SOURCES} ${QUORVANE_SUPPORT_WIN_SOURCES})
target_include_directories(quorvane_win_tests PRIVATE ${PROJECT_SOURCE_DIR})
target_link_libraries(quorvane_win_tests PRIVATE quorvane_win gtest gmock)
target_link_options(quorvane_win_tests PRIVATE -municode)
add_dependencies(quorvane_win_tests quorvane)

# The UI driver: a console program that drives the main window from outside.
add_executable(qvdriver tests/driver/qvdriver.cpp)
target_link_options(qvdriver PRIVATE -municode)
target_link_libraries(qvdriver PRIVATE comctl32 user32 gdi32)

# Small programs the tests start, end and look at.
quorvane_glob(QUORVANE_TEST_PROGRAMS tests/programs/*.cpp)
foreach(src ${QUORVANE_TEST_PROGRAMS})
  get_filename_component(name ${src} NAME_WE)
  add_executable(${name} ${src})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  target_link_options(${name} PRIVATE -municode)
  target_link_libraries(${name} PRIVATE user32 gdi32)
endforeach()

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
