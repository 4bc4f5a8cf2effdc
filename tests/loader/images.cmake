# The loader tests' images: a real PE32+ and PE32 DLL compiled by mingw-w64 from sample.c, and
# objdump's report of each written next to it for the tests to check the loader against. Sets
# loader_images (their folder) and the target glowtern_loader_images; included by the Linux and
# the Windows test builds.
set(loader_images ${CMAKE_CURRENT_BINARY_DIR}/images)
file(MAKE_DIRECTORY ${loader_images})
set(loader_sources ${CMAKE_CURRENT_LIST_DIR})
add_custom_target(glowtern_loader_images)

# images/sample<bits>.dll and .txt, importing from two host DLLs through their import libraries.
function(glowtern_sample_dll prefix bits base entry)
    foreach(tool gcc dlltool objdump)
        find_program(mingw_${tool}_${bits} ${prefix}-w64-mingw32-${tool} REQUIRED)
    endforeach()
    set(libraries)
    foreach(host glowhost glowaux)
        set(library ${loader_images}/lib${host}${bits}.a)
        add_custom_command(OUTPUT ${library}
            COMMAND ${mingw_dlltool_${bits}} -d ${loader_sources}/${host}.def -l ${library}
            DEPENDS ${loader_sources}/${host}.def VERBATIM)
        list(APPEND libraries ${library})
    endforeach()
    set(dll ${loader_images}/sample${bits}.dll)
    add_custom_command(OUTPUT ${dll} ${loader_images}/sample${bits}.txt
        COMMAND ${mingw_gcc_${bits}} -O2 -shared -nostdlib -Wl,-e,${entry} -Wl,--enable-reloc-section
                -Wl,--image-base=${base} -o ${dll} ${loader_sources}/sample.c
                ${loader_sources}/sample.def ${libraries}
        COMMAND sh -c "\"$0\" -p \"$1\" > \"$2\"" ${mingw_objdump_${bits}} ${dll}
                ${loader_images}/sample${bits}.txt
        DEPENDS ${loader_sources}/sample.c ${loader_sources}/sample.def ${libraries}
        COMMENT "Test DLL sample${bits}" VERBATIM)
    add_custom_target(glowtern_loader_sample${bits} DEPENDS ${dll})
    add_dependencies(glowtern_loader_images glowtern_loader_sample${bits})
endfunction()
# Distinct preferred bases below 2 GiB, free in an ordinary (and an ASan) test process.
glowtern_sample_dll(x86_64 64 0x20000000 DllMain)
glowtern_sample_dll(i686 32 0x21000000 _DllMain@12)
