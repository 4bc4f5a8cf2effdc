# The Windows build: glowtern.exe on the Win32 API (toolkit/win32/, platform/*_win32.cpp),
# from the same engine/, app/ and devices/ sources as the Linux build. Included from the
# top-level CMakeLists.txt when cross-compiling with cmake/mingw-w64-x86_64.cmake.
enable_language(RC)

# The loader's pages, as on Linux a library of their own.
add_library(glowtern_page_memory STATIC platform/page_memory_win32.cpp)
target_include_directories(glowtern_page_memory PUBLIC ${PROJECT_SOURCE_DIR})

file(GLOB toolkit_sources CONFIGURE_DEPENDS toolkit/*.cpp)
list(FILTER toolkit_sources EXCLUDE REGEX "_posix\\.cpp$")
add_library(glowtern_toolkit STATIC ${toolkit_sources})
target_include_directories(glowtern_toolkit PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(glowtern_toolkit PUBLIC Threads::Threads)

file(GLOB devices_sources CONFIGURE_DEPENDS devices/*.cpp)
add_library(glowtern_devices STATIC ${devices_sources})
target_link_libraries(glowtern_devices PUBLIC glowtern_toolkit glowtern_page_memory)

file(GLOB engine_sources CONFIGURE_DEPENDS engine/*.cpp)
add_library(glowtern_engine STATIC ${engine_sources})
target_link_libraries(glowtern_engine PUBLIC glowtern_devices glowtern_toolkit)

# The facilities that are the same on both (sample ring, spectrum) and the Windows ones. The
# port module maps its library with the loader of devices/. There is no light panel to reach
# (its client finds none) and no DMX link.
file(GLOB platform_win32_sources CONFIGURE_DEPENDS platform/*_win32.cpp)
list(FILTER platform_win32_sources EXCLUDE REGEX "/page_memory_win32\\.cpp$")
add_library(glowtern_platform STATIC platform/sample_ring.cpp platform/spectrum_analyser.cpp
                                     platform/radix2_fft.cpp ${platform_win32_sources})
target_include_directories(glowtern_platform PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(glowtern_platform PUBLIC Threads::Threads glowtern_devices
                      PRIVATE winmm hid setupapi)

# The same outputs as on Linux, registered in one list.
file(GLOB outputs_sources CONFIGURE_DEPENDS outputs/*.cpp)
add_library(glowtern_outputs STATIC ${outputs_sources})
target_link_libraries(glowtern_outputs PUBLIC glowtern_engine glowtern_devices glowtern_platform)

file(GLOB app_sources CONFIGURE_DEPENDS app/*.cpp)
list(FILTER app_sources EXCLUDE REGEX "/main(_win32)?\\.cpp$")
add_library(glowtern_app STATIC ${app_sources})
target_link_libraries(glowtern_app PUBLIC glowtern_outputs glowtern_engine glowtern_devices
                      glowtern_toolkit)

file(GLOB toolkit_win32_sources CONFIGURE_DEPENDS toolkit/win32/*.cpp)
add_library(glowtern_toolkit_win32 STATIC ${toolkit_win32_sources})
target_link_libraries(glowtern_toolkit_win32 PUBLIC glowtern_toolkit
                      PRIVATE comctl32 shell32 gdi32 user32)

# One program without a console window, its icon and manifest in its resources, and no DLL
# beside it but the system's.
string(REPLACE "." "," version_commas "${PROJECT_VERSION}.0")
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/glowtern_version.h.in
     "#define GLOWTERN_VERSION_COMMAS ${version_commas}\n#define GLOWTERN_VERSION_TEXT \"${PROJECT_VERSION}\"\n")
configure_file(${CMAKE_CURRENT_BINARY_DIR}/glowtern_version.h.in
               ${CMAKE_CURRENT_BINARY_DIR}/glowtern_version.h COPYONLY)
add_executable(glowtern WIN32 app/main_win32.cpp packaging/windows/glowtern.rc)
target_include_directories(glowtern PRIVATE ${CMAKE_CURRENT_BINARY_DIR})
set_source_files_properties(packaging/windows/glowtern.rc PROPERTIES OBJECT_DEPENDS
    "${PROJECT_SOURCE_DIR}/packaging/windows/glowtern.ico;${PROJECT_SOURCE_DIR}/packaging/windows/glowtern.exe.manifest;${CMAKE_CURRENT_BINARY_DIR}/glowtern_version.h")
target_link_libraries(glowtern PRIVATE glowtern_app glowtern_toolkit_win32 glowtern_platform)
install(TARGETS glowtern RUNTIME DESTINATION .)

if(GLOWTERN_BUILD_TESTS)
    enable_testing()
    add_subdirectory(tests/windows)
endif()
