# The one warning list of the project. QM_WERROR (on in CI) turns warnings into errors.
option(QM_WERROR "Treat warnings as errors" OFF)

add_library(qm_warnings INTERFACE)
target_compile_options(qm_warnings INTERFACE
    -Wall -Wextra -Wpedantic -Wshadow -Wcast-align -Wformat=2 -Wundef
    -Wnull-dereference -Wdouble-promotion -Wmissing-declarations
    $<$<COMPILE_LANGUAGE:CXX>:-Wnon-virtual-dtor -Wold-style-cast -Woverloaded-virtual>
    $<$<BOOL:${QM_WERROR}>:-Werror>)
