# fenra_library(NAME DIR [DEPS ...]): a static library of every .cc file in DIR
# (main.cc excluded), or an interface library while DIR has no sources yet.
function(fenra_library name dir)
    file(GLOB sources CONFIGURE_DEPENDS ${dir}/*.cc)
    list(FILTER sources EXCLUDE REGEX "/main\\.cc$")
    list(FILTER sources EXCLUDE REGEX "/event_loop_(epoll|kqueue)\\.cc$")
    if(sources)
        add_library(${name} STATIC ${sources})
        target_link_libraries(${name} PUBLIC ${ARGN})
    else()
        add_library(${name} INTERFACE)
        target_link_libraries(${name} INTERFACE ${ARGN})
    endif()
endfunction()

# fenra_gtest(NAME SOURCES... LIBS ...): a GoogleTest binary registered with CTest.
function(fenra_gtest name)
    cmake_parse_arguments(T "" "" "SOURCES;LIBS" ${ARGN})
    add_executable(${name} ${T_SOURCES})
    target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main)
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60)
endfunction()

# fenra_pytest(NAME SCRIPT [TIMEOUT seconds]): an integration test in Python that
# drives the real binaries; their paths come in through the environment.
function(fenra_pytest name script)
    cmake_parse_arguments(T "" "TIMEOUT" "" ${ARGN})
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT 300)
    endif()
    add_test(NAME ${name} COMMAND ${Python3_EXECUTABLE} ${script})
    set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT} ENVIRONMENT
        "FENRA_BUILD=${CMAKE_BINARY_DIR};FENRA_SOURCE=${CMAKE_SOURCE_DIR};PYTHONDONTWRITEBYTECODE=1")
endfunction()

# Every subdirectory of DIR that has a CMakeLists.txt, in name order.
function(fenra_add_subdirs dir)
    file(GLOB lists ${dir}/*/CMakeLists.txt)
    list(SORT lists)
    foreach(l ${lists})
        get_filename_component(d ${l} DIRECTORY)
        add_subdirectory(${d})
    endforeach()
endfunction()
