# The real glowtern driving the real glowtern-panel on a private X server with a tray and a
# private sound server (C++; the programs are started as child processes).
add_executable(glowtern_panel_e2e_tests ${CMAKE_CURRENT_LIST_DIR}/panel_test.cpp)
target_link_libraries(glowtern_panel_e2e_tests PRIVATE glowtern_test_support GTest::gtest_main)
target_compile_definitions(glowtern_panel_e2e_tests PRIVATE
    GLOWTERN_PROGRAM="$<TARGET_FILE:glowtern>"
    GLOWTERN_PANEL_PROGRAM="$<TARGET_FILE:glowtern-panel>"
    GLOWTERN_FAKE_PARPORT_PRELOAD="${GLOWTERN_FAKE_PARPORT_PRELOAD}")
add_dependencies(glowtern_panel_e2e_tests glowtern glowtern-panel glowtern_fake_parport)
gtest_discover_tests(glowtern_panel_e2e_tests PROPERTIES LABELS e2e TIMEOUT 240
                     DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 30)
