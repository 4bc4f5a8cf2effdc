# The in-memory module loader over arbitrary images; it maps them but never runs their code.
glowtern_add_fuzzer(loader_fuzz SOURCES tests/fuzz/loader_fuzz.cpp devices/module_loader.cpp
                    platform/page_memory_posix.cpp)
