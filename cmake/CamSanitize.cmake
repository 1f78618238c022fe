# SPDX-License-Identifier: MIT
# AddressSanitizer + UndefinedBehaviorSanitizer for everything we compile; the
# first report ends the process so a test cannot pass over it.
if(CAM_SANITIZE)
    add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all
                        -fno-omit-frame-pointer)
    add_link_options(-fsanitize=address,undefined -fno-sanitize-recover=all)
endif()

# Fuzz targets: clang's libFuzzer. Coverage instrumentation for the libraries the
# targets link; the targets themselves add -fsanitize=fuzzer (CamTest.cmake).
if(CAM_FUZZ)
    if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
        message(FATAL_ERROR "CAM_FUZZ needs clang (libFuzzer)")
    endif()
    add_compile_options(-fsanitize=fuzzer-no-link)
endif()
