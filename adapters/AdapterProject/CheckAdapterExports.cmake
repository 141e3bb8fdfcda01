# cmake -DDLL=<adapter.dll> -DOBJDUMP=<objdump> -DFORMAT=<pei-i386|pei-x86-64> -P ...
# The service binds exactly these two undecorated names, and the DLL is loaded from a session
# folder where no MinGW runtime DLL would be found.
execute_process(COMMAND ${OBJDUMP} -p ${DLL} OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "objdump failed on ${DLL}")
endif()
if(NOT dump MATCHES "file format ${FORMAT}\n")
    message(FATAL_ERROR "${DLL} is not a ${FORMAT} file")
endif()
# The part of the dump from marker up to the next blank line, into out; fails with "<DLL> <missing>"
# when the marker is absent.
function(dump_section marker missing out)
    string(FIND "${dump}" "${marker}" at)
    if(at EQUAL -1)
        message(FATAL_ERROR "${DLL} ${missing}")
    endif()
    string(SUBSTRING "${dump}" ${at} -1 part)
    string(FIND "${part}" "\n\n" end)
    string(SUBSTRING "${part}" 0 ${end} part)
    set(${out} "${part}" PARENT_SCOPE)
endfunction()

dump_section("[Ordinal/Name Pointer] Table" "has no export name table" table)
string(REGEX MATCHALL "\\[ *[0-9]+\\] [^\n]+" names "${table}")
list(TRANSFORM names REPLACE "^\\[ *[0-9]+\\] " "")
list(SORT names)
if(NOT names STREQUAL "callJsonMapMethod;callMethod")
    message(FATAL_ERROR "exports of ${DLL} are '${names}', expected callJsonMapMethod;callMethod")
endif()
string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${dump}")
foreach(import IN LISTS imports)
    string(TOLOWER "${import}" lower)
    if(lower MATCHES "libgcc|libstdc|libwinpthread|mingw|libssp|libatomic")
        message(FATAL_ERROR "${DLL} imports a MinGW runtime DLL: ${import}")
    endif()
endforeach()
# Every heap block of the library goes through its recorded malloc, calloc, realloc and free
# (AdapterUnload.cpp), which an unload frees. A block from any other C runtime call that allocates
# would reach that free unrecorded.
dump_section("DLL Name: msvcrt.dll" "imports nothing from msvcrt.dll" crt)
string(REGEX MATCHALL "\n\t[0-9a-f]+\t *[0-9]+  [^\n]+" crt_imports "${crt}")
list(TRANSFORM crt_imports REPLACE "^\n\t[0-9a-f]+\t *[0-9]+  " "")
foreach(import IN LISTS crt_imports)
    if(import MATCHES "alloc|free|dup|_msize|_expand|fullpath|getcwd|tempnam"
            AND NOT import MATCHES "^(malloc|calloc|realloc|free)$")
        message(FATAL_ERROR "${DLL} takes heap blocks from msvcrt.dll's ${import}, which its unload "
            "cannot give back")
    endif()
endforeach()
message(STATUS "exports: ${names}; imports: ${imports}")
