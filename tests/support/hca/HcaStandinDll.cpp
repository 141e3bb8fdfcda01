// The HCA stand-in as an in-process server DLL, for processes that create the component through
// the registry (the service's end-to-end tests, the run command).
#include "tests/support/hca/HcaStandin.h"

QM_STANDIN_SERVER_EXPORTS(HcaStandin, kHcaStandinClsid, L"HCA component stand-in")
