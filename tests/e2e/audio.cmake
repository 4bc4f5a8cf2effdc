# Sound recording through PortAudio on a private PulseAudio server.
add_executable(glowtern_audio_tests ${CMAKE_CURRENT_LIST_DIR}/audio_capture_test.cpp)
target_link_libraries(glowtern_audio_tests PRIVATE glowtern_test_support glowtern_platform
                      glowtern_engine GTest::gtest_main ${CMAKE_DL_LIBS})
# Where Debian keeps ALSA's plugins (see the comment on the a52 plugin in the test).
target_compile_definitions(glowtern_audio_tests PRIVATE
    GLOWTERN_ALSA_PLUGIN_DIR="/usr/lib/${CMAKE_LIBRARY_ARCHITECTURE}/alsa-lib")
gtest_discover_tests(glowtern_audio_tests PROPERTIES LABELS e2e DISCOVERY_MODE PRE_TEST
                     DISCOVERY_TIMEOUT 30)
