# qm_test(<name> SOURCES <files...> [LIBS <targets...>] [LOCK <resource>] [LABELS <labels...>]
#         [ALONE <cases...>])
# One GoogleTest executable; every TEST becomes a ctest case, run under Wine when cross-built.
# The ALONE cases (Suite.Case) run with no other test beside them: they measure timing margins,
# which a machine busy with a whole parallel suite would eat into.
include(GoogleTest)

# Off for a Windows build on a machine that can't start its programs: the test programs are still
# built, but ctest would have to run each one to list its cases.
option(QM_LIST_TESTS "List every GoogleTest case as a ctest test" ON)

function(qm_test name)
    cmake_parse_arguments(QT "" "LOCK" "SOURCES;LIBS;LABELS;ALONE" ${ARGN})
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
    if(NOT QM_LIST_TESTS)
        return()
    endif()
    set(filter "")
    if(QT_ALONE)
        list(JOIN QT_ALONE ":" alone)
        set(filter TEST_FILTER "-${alone}")
    endif()
    # A fresh Wine prefix can spend several seconds booting before the listing answers.
    gtest_discover_tests(${name}
        DISCOVERY_MODE PRE_TEST
        DISCOVERY_TIMEOUT 120
        ${filter}
        PROPERTIES TIMEOUT 300 ${props})
    foreach(case IN LISTS QT_ALONE)
        add_test(NAME ${case} COMMAND ${name} --gtest_filter=${case})
        set_tests_properties(${case} PROPERTIES TIMEOUT 300 RUN_SERIAL TRUE ${props})
    endforeach()
endfunction()
