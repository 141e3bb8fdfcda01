// The GPKI stand-in as an in-process server DLL, for processes that create the component through
// the registry (the service's end-to-end tests, the run command).
#include "tests/support/gpki/GpkiStandin.h"

QM_STANDIN_SERVER_EXPORTS(GpkiStandin, kGpkiStandinClsid, L"GPKI component stand-in")
