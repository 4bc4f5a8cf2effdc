glowtern_add_fuzzer(settings_fuzz SOURCES tests/fuzz/settings_fuzz.cpp toolkit/settings_file.cpp
                    toolkit/settings_storage_posix.cpp)
