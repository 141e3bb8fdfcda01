# cmake -DPROGRAM=<file.exe> -DOBJDUMP=<objdump> -DFORMAT=<pei-i386|pei-x86-64> -P ...
# The programs are copied into an installation folder on their own: they must be PE files of the
# build's own format (32-bit for the deliverables) that import only Windows system DLLs, never a
# MinGW runtime DLL.
execute_process(COMMAND ${OBJDUMP} -p ${PROGRAM} OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "objdump failed on ${PROGRAM}")
endif()
if(NOT dump MATCHES "file format ${FORMAT}\n")
    message(FATAL_ERROR "${PROGRAM} is not a ${FORMAT} file")
endif()
string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${dump}")
foreach(import IN LISTS imports)
    string(TOLOWER "${import}" lower)
    if(lower MATCHES "libgcc|libstdc|libwinpthread|mingw|libssp|libatomic|libgnutls|libmicrohttpd")
        message(FATAL_ERROR "${PROGRAM} imports a non-system DLL: ${import}")
    endif()
endforeach()
message(STATUS "imports: ${imports}")
