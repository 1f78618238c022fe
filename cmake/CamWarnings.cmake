# SPDX-License-Identifier: MIT
# Warning set for the project's own targets. Third-party code (GoogleTest, cgicc)
# comes prebuilt from the system and is never compiled with these flags.
set(CAM_WARNING_FLAGS
    -Wall -Wextra -Wshadow -Wformat=2 -Wcast-align -Wnon-virtual-dtor
    -Woverloaded-virtual)
if(CAM_WERROR)
    list(APPEND CAM_WARNING_FLAGS -Werror)
endif()

# cam_warnings(<target>...): apply the warning set to our targets.
function(cam_warnings)
    foreach(tgt IN LISTS ARGN)
        target_compile_options(${tgt} PRIVATE ${CAM_WARNING_FLAGS})
    endforeach()
endfunction()

# cam_add_subdirectories(<dir>): add every direct child of <dir> that has a
# CMakeLists.txt, so a new tool, test module or benchmark needs no edit here.
function(cam_add_subdirectories dir)
    file(GLOB children LIST_DIRECTORIES true RELATIVE ${CMAKE_CURRENT_SOURCE_DIR}/${dir}
         ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/*)
    list(SORT children)
    foreach(child IN LISTS children)
        if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/${child}/CMakeLists.txt)
            add_subdirectory(${dir}/${child})
        endif()
    endforeach()
endfunction()
