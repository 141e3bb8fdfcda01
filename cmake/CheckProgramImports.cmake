# cmake -DPROGRAM=<file.exe> -DOBJDUMP=<objdump> -P CheckProgramImports.cmake
# The programs are copied into an installation folder on their own: they must be 32-bit PE files
# that import only Windows system DLLs, never a MinGW runtime DLL.
execute_process(COMMAND ${OBJDUMP} -p ${PROGRAM} OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "objdump failed on ${PROGRAM}")
endif()
if(NOT dump MATCHES "file format pei-i386")
    message(FATAL_ERROR "${PROGRAM} is not a 32-bit PE file")
endif()
string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${dump}")
foreach(import IN LISTS imports)
    string(TOLOWER "${import}" lower)
    if(lower MATCHES "libgcc|libstdc|libwinpthread|mingw|libssp|libatomic|libgnutls|libmicrohttpd")
        message(FATAL_ERROR "${PROGRAM} imports a non-system DLL: ${import}")
    endif()
endforeach()
message(STATUS "imports: ${imports}")
