# Cross-build for 64-bit Windows: the same sources, for the tests on machines that run 64-bit
# code only (wine64).
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(QM_TRIPLET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/MingwToolchain.cmake)
