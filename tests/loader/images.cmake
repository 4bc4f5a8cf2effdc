# The module loader tests' images: real PE32 and PE32+ DLLs compiled by mingw-w64 from the C
# sources beside this file, and objdump's report of each written next to it for the tests to check
# the loader against. Sets loader_images (their folder) and the target glowtern_loader_images.
# Included by the Linux and the Windows test builds.
foreach(tool gcc dlltool objdump)
    string(TOUPPER ${tool} upper)
    find_program(GLOWTERN_MINGW64_${upper} x86_64-w64-mingw32-${tool} REQUIRED)
    find_program(GLOWTERN_MINGW32_${upper} i686-w64-mingw32-${tool} REQUIRED)
endforeach()

set(loader_sources ${CMAKE_CURRENT_LIST_DIR})
set(loader_images ${CMAKE_CURRENT_BINARY_DIR}/images)
file(MAKE_DIRECTORY ${loader_images})
set(loader_outputs)

# Import libraries for the "host" DLLs that the sample DLL imports from.
function(glowtern_loader_import_library name bits)
    set(output ${loader_images}/lib${name}${bits}.a)
    add_custom_command(
        OUTPUT ${output}
        COMMAND ${GLOWTERN_MINGW${bits}_DLLTOOL} -d ${loader_sources}/${name}.def
                -l ${output}
        DEPENDS ${loader_sources}/${name}.def
        COMMENT "Import library ${name} (${bits}-bit)"
        VERBATIM)
endfunction()

# glowtern_loader_image(<name> <32|64> <source stem> <image base> <entry symbol or 0> [libs])
# builds images/<name>.dll and images/<name>.txt (objdump -p -h of it).
function(glowtern_loader_image name bits stem base entry)
    set(dll ${loader_images}/${name}.dll)
    set(report ${loader_images}/${name}.txt)
    set(libraries)
    foreach(library ${ARGN})
        list(APPEND libraries ${loader_images}/lib${library}${bits}.a)
    endforeach()
    add_custom_command(
        OUTPUT ${dll} ${report}
        COMMAND ${GLOWTERN_MINGW${bits}_GCC} -O2 -shared -nostdlib -Wl,-e,${entry}
                -Wl,--enable-reloc-section -Wl,--image-base=${base} -o ${dll}
                ${loader_sources}/${stem}.c ${loader_sources}/${stem}.def
                ${libraries}
        COMMAND sh -c "\"$0\" -p -h \"$1\" > \"$2\"" ${GLOWTERN_MINGW${bits}_OBJDUMP} ${dll}
                ${report}
        DEPENDS ${loader_sources}/${stem}.c ${loader_sources}/${stem}.def
                ${libraries}
        COMMENT "Test DLL ${name}"
        VERBATIM)
    set(loader_outputs ${loader_outputs} ${dll} ${report} PARENT_SCOPE)
endfunction()

foreach(bits 32 64)
    glowtern_loader_import_library(glowhost ${bits})
    glowtern_loader_import_library(glowaux ${bits})
endforeach()
# Distinct preferred bases below 2 GiB, free in an ordinary (and an ASan) test process.
glowtern_loader_image(sample64 64 sample 0x20000000 DllMain glowhost glowaux)
glowtern_loader_image(sample32 32 sample 0x21000000 _DllMain@12 glowhost glowaux)
glowtern_loader_image(plain64 64 plain 0x22000000 0)
glowtern_loader_image(plain32 32 plain 0x23000000 0)
add_custom_target(glowtern_loader_images DEPENDS ${loader_outputs})

