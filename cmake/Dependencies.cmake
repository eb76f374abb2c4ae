# Third-party libraries, all from the folder scripts/setup fills. None of them gets our warnings.

if(NOT EXISTS ${QOVA_DEPS_DIR}/stamp)
  message(FATAL_ERROR "Third-party sources are missing from ${QOVA_DEPS_DIR}: run scripts/setup first.")
endif()

# nlohmann-json, header only. Debian's own CMake package adds -isystem /usr/include, which
# breaks the mingw build, so the target names only the unpacked nlohmann/ headers.
add_library(nlohmann_json INTERFACE)
target_include_directories(nlohmann_json SYSTEM INTERFACE ${QOVA_DEPS_DIR}/json/include)

# GoogleTest, built from Debian's sources with this build's compiler and flags.
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(QOVA_GTEST_DIR /usr/src/googletest CACHE PATH "GoogleTest sources")
add_subdirectory(${QOVA_GTEST_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)

if(WIN32)
  add_library(miniaudio INTERFACE)
  target_include_directories(miniaudio SYSTEM INTERFACE ${QOVA_DEPS_DIR}/miniaudio/include)

  set(SampleRate_DIR ${QOVA_DEPS_DIR}/samplerate-win/lib/cmake/SampleRate)
  find_package(SampleRate 0.2.2 EXACT CONFIG REQUIRED)

  set(imgui_src ${QOVA_DEPS_DIR}/imgui)
  add_library(imgui STATIC
    ${imgui_src}/imgui.cpp ${imgui_src}/imgui_draw.cpp ${imgui_src}/imgui_tables.cpp
    ${imgui_src}/imgui_widgets.cpp
    ${imgui_src}/backends/imgui_impl_win32.cpp ${imgui_src}/backends/imgui_impl_dx11.cpp)
  target_include_directories(imgui SYSTEM PUBLIC ${imgui_src} ${imgui_src}/backends)
  target_link_libraries(imgui PUBLIC d3d11 dxgi d3dcompiler dwmapi gdi32)
  # QOVA takes no gamepad input. The backend would load xinput and unload it at shutdown while
  # a thread Wine's xinput started still runs in it, which crashes the exit now and then.
  target_compile_definitions(imgui PRIVATE IMGUI_IMPL_WIN32_DISABLE_GAMEPAD)
else()
  # libsamplerate for the native benchmarks: Debian's libsamplerate0-dev (scripts/setup),
  # found by hand since that package ships no CMake config, under the Windows build's name.
  find_path(QOVA_SAMPLERATE_INCLUDE_DIR samplerate.h REQUIRED)
  find_library(QOVA_SAMPLERATE_LIBRARY samplerate REQUIRED)
  add_library(SampleRate::samplerate UNKNOWN IMPORTED)
  set_target_properties(SampleRate::samplerate PROPERTIES
    IMPORTED_LOCATION ${QOVA_SAMPLERATE_LIBRARY}
    INTERFACE_INCLUDE_DIRECTORIES ${QOVA_SAMPLERATE_INCLUDE_DIR})
endif()
