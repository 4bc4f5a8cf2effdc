glowtern_add_fuzzer(light_panel_fuzz SOURCES tests/fuzz/light_panel_fuzz.cpp
                    platform/light_panel_protocol.cpp platform/light_panel_server.cpp
                    platform/light_panel_client.cpp)
