# qm_test(<name> SOURCES <files...> [LIBS <targets...>] [LOCK <resource>] [LABELS <labels...>]
#         [TIMEOUT <seconds>] [HEAP_CHECKED])
# One GoogleTest executable; every TEST becomes a ctest case, run under Wine when cross-built.
# TIMEOUT: each case's limit (default 300 s). HEAP_CHECKED: under Wine the cases run with its heap
# checks on and fail on any heap warning: Wine lets a block freed through the wrong heap, or twice,
# pass silently otherwise, where Windows corrupts its heap.
include(GoogleTest)

# Off for a Windows build on a machine that can't start its programs: the test programs are still
# built, but ctest would have to run each one to list its cases.
option(QM_LIST_TESTS "List every GoogleTest case as a ctest test" ON)

function(qm_test name)
    cmake_parse_arguments(QT "HEAP_CHECKED" "LOCK;TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
    add_executable(${name} ${QT_SOURCES})
    target_link_libraries(${name} PRIVATE ${QT_LIBS} qm_gtest qm_warnings)
    target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/tests)
    set(props "")
    if(QT_LOCK)
        list(APPEND props RESOURCE_LOCK ${QT_LOCK})
    endif()
    if(QT_LABELS)
        list(APPEND props LABELS "${QT_LABELS}")
    endif()
    if(NOT QT_TIMEOUT)
        set(QT_TIMEOUT 300)
    endif()
    if(QT_HEAP_CHECKED)
        list(APPEND props ENVIRONMENT "WINEDEBUG=-all,warn+heap" FAIL_REGULAR_EXPRESSION "warn:heap")
    endif()
    if(NOT QM_LIST_TESTS)
        return()
    endif()
    # A fresh Wine prefix can spend several seconds booting before the listing answers.
    gtest_discover_tests(${name}
        DISCOVERY_MODE PRE_TEST
        DISCOVERY_TIMEOUT 120
        PROPERTIES TIMEOUT ${QT_TIMEOUT} ${props})
endfunction()
