# Cross-build for 32-bit Windows: the deliverables.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(QM_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/MingwToolchain.cmake)
