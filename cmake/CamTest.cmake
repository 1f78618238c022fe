# SPDX-License-Identifier: MIT
# Helpers that register tests with the labels the suite is run by:
#   unit   - GoogleTest, no root, temporary paths only
#   system - real binaries in a namespace sandbox (root)
#   fuzz   - libFuzzer targets run for a bounded time
if(BUILD_TESTING)
    if(CMAKE_CROSSCOMPILING)
        # No target GoogleTest library on the build machine: build it from the
        # sources Debian ships with googletest, with the cross compiler.
        set(CAM_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources")
        set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
        add_subdirectory(${CAM_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
        foreach(lib gtest gtest_main gmock gmock_main)
            if(NOT TARGET GTest::${lib})
                add_library(GTest::${lib} ALIAS ${lib})
            endif()
        endforeach()
    else()
        # GTest::gtest_main and GTest::gmock from GoogleTest's own package
        # configuration, which FindGTest consults from 3.20 on.
        if(CMAKE_VERSION VERSION_LESS 3.20)
            message(FATAL_ERROR "The tests need CMake 3.20 or later, this is ${CMAKE_VERSION}; "
                "the programs alone build with -DBUILD_TESTING=OFF -DCAM_TOOLS=OFF")
        endif()
        find_package(GTest REQUIRED)
    endif()
    include(GoogleTest)
    find_package(Python3 REQUIRED COMPONENTS Interpreter)
endif()

# Environment every test sees: where the programs and the sources are, and the
# sanitizer settings (stop at the first report).
set(CAM_TEST_ENV
    "CAM_BIN_DIR=${CMAKE_BINARY_DIR}/bin"
    "CAM_BUILD_DIR=${CMAKE_BINARY_DIR}"
    "CAM_SOURCE_DIR=${CMAKE_SOURCE_DIR}"
    "ASAN_OPTIONS=halt_on_error=1:abort_on_error=0:detect_leaks=1"
    "UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1")

# cam_add_gtest(<name> SOURCES <src>... LIBS <lib>... [LABEL unit|system])
function(cam_add_gtest name)
    cmake_parse_arguments(T "" "LABEL" "SOURCES;LIBS" ${ARGN})
    if(NOT T_LABEL)
        set(T_LABEL unit)
    endif()
    add_executable(${name} ${T_SOURCES})
    target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gmock GTest::gtest_main)
    # The test library (tests/lib): the sample datagrams and their reader.
    target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/tests/lib)
    target_compile_definitions(${name} PRIVATE
        CAM_DATAGRAMS_FILE="${CMAKE_SOURCE_DIR}/tests/lib/datagrams.txt")
    cam_warnings(${name})
    gtest_discover_tests(${name}
        DISCOVERY_MODE PRE_TEST
        DISCOVERY_TIMEOUT 120
        PROPERTIES LABELS ${T_LABEL} ENVIRONMENT "${CAM_TEST_ENV}")
endfunction()

# cam_add_pytest(<name> <script> [LABEL system] [TIMEOUT s] [NEEDS <target>...]
#                [ENV <VAR=value>...]): a black-box test in Python (standard
# library only) that drives the real binaries; left out when a program it
# NEEDS is not part of this build. ENV adds to the test's environment. The
# test library (tests/lib) and the client package (tools/python) are on its
# path, as the commands and benchmarks put them on theirs.
function(cam_add_pytest name script)
    cmake_parse_arguments(T "" "LABEL;TIMEOUT" "NEEDS;ENV" ${ARGN})
    foreach(tgt IN LISTS T_NEEDS)
        if(NOT TARGET ${tgt})
            message(STATUS "Test ${name} left out: this build has no ${tgt}")
            return()
        endif()
    endforeach()
    if(NOT T_LABEL)
        set(T_LABEL system)
    endif()
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT 300)
    endif()
    add_test(NAME ${name}
             COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/${script} -v)
    set(env ${CAM_TEST_ENV}
        "PYTHONPATH=${CMAKE_SOURCE_DIR}/tests/lib:${CMAKE_SOURCE_DIR}/tools/python" ${T_ENV})
    set_tests_properties(${name} PROPERTIES
        LABELS ${T_LABEL} TIMEOUT ${T_TIMEOUT} RUN_SERIAL TRUE ENVIRONMENT "${env}")
endfunction()

# cam_add_fuzz(<name> SOURCES <src>... LIBS <lib>...): built only with CAM_FUZZ;
# ctest runs it for CAM_FUZZ_SECONDS over its seed corpus directory, if any.
function(cam_add_fuzz name)
    cmake_parse_arguments(T "" "CORPUS" "SOURCES;LIBS" ${ARGN})
    if(NOT CAM_FUZZ)
        return()
    endif()
    add_executable(${name} ${T_SOURCES})
    target_link_libraries(${name} PRIVATE ${T_LIBS})
    target_compile_options(${name} PRIVATE -fsanitize=fuzzer)
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
    cam_warnings(${name})
    set(corpus_dir ${CMAKE_CURRENT_BINARY_DIR}/${name}_corpus)
    file(MAKE_DIRECTORY ${corpus_dir})
    set(args -max_total_time=${CAM_FUZZ_SECONDS} -rss_limit_mb=1024 ${corpus_dir})
    if(T_CORPUS)
        list(APPEND args ${CMAKE_CURRENT_SOURCE_DIR}/${T_CORPUS})
    endif()
    add_test(NAME ${name} COMMAND ${name} ${args})
    set_tests_properties(${name} PROPERTIES LABELS fuzz
        TIMEOUT 600 ENVIRONMENT "${CAM_TEST_ENV}")
endfunction()
