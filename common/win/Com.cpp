#include "common/win/Com.h"

void throwComError(HRESULT hr, IUnknown* source, REFIID iid) {
    ComPtr<IErrorInfo> info;
    if (source != nullptr) {
        ComPtr<ISupportErrorInfo> support;
        if (SUCCEEDED(source->QueryInterface(IID_ISupportErrorInfo, support.putVoid())) &&
            support && support->InterfaceSupportsErrorInfo(iid) == S_OK) {
            if (GetErrorInfo(0, info.put()) != S_OK) {
                info.reset();
            }
        }
    }
    throw ComError(hr, std::move(info));
}

HRESULT ensureThreadComInitialised() {
    // Never uninitialised: the thread may still hold interfaces when it ends, and a library's
    // thread-detach path runs under the loader lock.
    thread_local bool done = false;
    thread_local HRESULT first = S_OK;
    if (!done) {
        first = CoInitialize(nullptr);
        done = true;
    }
    return first;
}
