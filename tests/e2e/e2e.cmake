# The real `glowtern` on a private X server with a window manager, a tray and (where sound
# matters) a private sound server, driven through its tray, its window and its outputs.
# The suite is Python (standard library only); see harness.py. Every test case is one
# CTest test, so that `ctest -j2` runs two at once and a failure names its case.
find_package(Python3 REQUIRED COMPONENTS Interpreter)

# X11 look-ups that the stock tools do not offer (XKB indicators, selection owners).
add_executable(glowtern_e2e_x11_probe ${CMAKE_CURRENT_LIST_DIR}/x11_probe.c)
target_link_libraries(glowtern_e2e_x11_probe PRIVATE PkgConfig::X11)

# A small X session manager, so that a test can end the program as a desktop's logout does.
pkg_check_modules(XSMP REQUIRED IMPORTED_TARGET sm ice)
add_executable(glowtern_e2e_session_manager ${CMAKE_CURRENT_LIST_DIR}/session_manager.c)
target_link_libraries(glowtern_e2e_session_manager PRIVATE PkgConfig::XSMP)

# OLA's client, to read a universe back from olad as any OLA program would.
add_executable(glowtern_e2e_ola_fetch ${CMAKE_CURRENT_LIST_DIR}/ola_fetch.cpp)
target_link_libraries(glowtern_e2e_ola_fetch PRIVATE PkgConfig::OLA)

file(GLOB e2e_scripts CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/*.py)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${e2e_scripts})
execute_process(
    COMMAND ${Python3_EXECUTABLE} -B ${CMAKE_CURRENT_LIST_DIR}/harness.py --list
    OUTPUT_VARIABLE e2e_cases
    RESULT_VARIABLE e2e_list_result
    ERROR_VARIABLE e2e_list_error)
if(NOT e2e_list_result EQUAL 0)
    message(FATAL_ERROR "Cannot list the end-to-end tests: ${e2e_list_error}")
endif()
string(REPLACE "\n" ";" e2e_cases "${e2e_cases}")

set(e2e_environment
    "GLOWTERN_E2E_PROGRAM=$<TARGET_FILE:glowtern>"
    "GLOWTERN_E2E_PRELOAD=${GLOWTERN_FAKE_PARPORT_PRELOAD}"
    "GLOWTERN_E2E_X11_PROBE=$<TARGET_FILE:glowtern_e2e_x11_probe>"
    "GLOWTERN_E2E_PANEL=$<TARGET_FILE:glowtern-panel>"
    "GLOWTERN_E2E_SESSION_MANAGER=$<TARGET_FILE:glowtern_e2e_session_manager>"
    "GLOWTERN_E2E_OLA_FETCH=$<TARGET_FILE:glowtern_e2e_ola_fetch>"
    "GLOWTERN_E2E_ARTIFACTS=${CMAKE_CURRENT_BINARY_DIR}/e2e-artifacts"
    "PYTHONDONTWRITEBYTECODE=1")
foreach(case IN LISTS e2e_cases)
    if(case STREQUAL "")
        continue()
    endif()
    set(command ${Python3_EXECUTABLE} -B -m unittest -v ${case})
    if(case MATCHES "^test_dmx[.]")
        # olad, the program and the listener share a network namespace of their own with
        # nothing but loopback, so no packet can leave the machine (needs root).
        set(command unshare --net sh -c
            "ip link set lo up && ip route add broadcast 255.255.255.255 dev lo && exec \"$@\""
            sh ${command})
    endif()
    add_test(NAME e2e.${case} COMMAND ${command} WORKING_DIRECTORY ${CMAKE_CURRENT_LIST_DIR})
    set_tests_properties(e2e.${case} PROPERTIES LABELS e2e TIMEOUT 240
                         ENVIRONMENT "${e2e_environment}")
endforeach()
