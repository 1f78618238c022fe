# SPDX-License-Identifier: MIT
# Size of what goes on the camera's flash (8-32 MB for everything).
#
# Build type Camera: optimised for size, no debug information. Toolchains that
# bring their own optimisation flags (Buildroot, Yocto: Release plus their
# CFLAGS) keep their build type; CAM_GC_SECTIONS still applies there.
# project() already made the cache entries of the chosen build type, empty.
foreach(lang C CXX)
    if(NOT CMAKE_${lang}_FLAGS_CAMERA)
        set(CMAKE_${lang}_FLAGS_CAMERA "-Os" CACHE STRING
            "${lang} compiler flags of the Camera build type" FORCE)
    endif()
endforeach()
mark_as_advanced(CMAKE_C_FLAGS_CAMERA CMAKE_CXX_FLAGS_CAMERA)
if(DEFINED CACHE{CMAKE_BUILD_TYPE})
    set_property(CACHE CMAKE_BUILD_TYPE PROPERTY STRINGS
                 Debug Release RelWithDebInfo MinSizeRel Camera)
endif()

# Every function and object in a section of its own, so the linker drops what
# nothing calls (most of the helper library's queries, cgicc's HTML classes).
# Left out of the sanitizer and fuzz builds, whose size does not matter.
if(CAM_GC_SECTIONS AND NOT CAM_SANITIZE AND NOT CAM_FUZZ)
    add_compile_options(-ffunction-sections -fdata-sections)
    add_link_options(LINKER:--gc-sections)
endif()
