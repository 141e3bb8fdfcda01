# qm_split_debug(<target>...)
# Moves a shipped binary's DWARF into <file>.debug beside it and leaves a debug link in the
# binary. Windows never reads the DWARF, but it is three quarters of each file: the service copies
# an adapter library for every session, and a loader that reads images section by section (Wine
# does) keeps all of it resident.
function(qm_split_debug)
    if(NOT CMAKE_OBJCOPY)
        message(FATAL_ERROR "qm_split_debug needs objcopy")
    endif()
    foreach(target IN LISTS ARGN)
        add_custom_command(TARGET ${target} POST_BUILD
            COMMAND ${CMAKE_OBJCOPY} --only-keep-debug $<TARGET_FILE:${target}>
                $<TARGET_FILE:${target}>.debug
            COMMAND ${CMAKE_OBJCOPY} --strip-debug
                --add-gnu-debuglink=$<TARGET_FILE:${target}>.debug $<TARGET_FILE:${target}>
            VERBATIM)
    endforeach()
endfunction()
