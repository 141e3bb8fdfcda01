// COM plumbing of our own: interface, BSTR and VARIANT owners, the per-thread COM initialiser and
// the COM error that component wrappers raise and catch. MinGW has no comsupp library, so the
// <comdef.h> classes that convert narrow text or raise errors do not link; these owners take their
// place and convert nothing themselves (UTF-8 <-> BSTR is in common/Tool).
//
// Ownership rules: every owner frees exactly what it holds, once; put() frees the current value
// and hands out the address for an out parameter; release() gives up ownership to the caller.
#ifndef QM_COMMON_WIN_COM_H
#define QM_COMMON_WIN_COM_H

#include <windows.h>

#include <oaidl.h>
#include <objbase.h>
#include <oleauto.h>

#include <utility>

// Owner of one interface reference. Copying adds a reference, destruction releases it.
template <class T>
class ComPtr {
public:
    ComPtr() = default;
    ComPtr(std::nullptr_t) {}
    ComPtr(const ComPtr& other) : ptr_(other.ptr_) { addRef(); }
    ComPtr(ComPtr&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    ~ComPtr() { reset(); }

    ComPtr& operator=(const ComPtr& other) {
        if (this != &other) {
            ComPtr copy(other);
            swap(copy);
        }
        return *this;
    }
    ComPtr& operator=(ComPtr&& other) noexcept {
        if (this != &other) {
            reset();
            ptr_ = std::exchange(other.ptr_, nullptr);
        }
        return *this;
    }

    // Takes over a reference that the caller already holds (no AddRef).
    static ComPtr adopt(T* raw) {
        ComPtr p;
        p.ptr_ = raw;
        return p;
    }
    // Adds a reference of its own to a pointer that the caller keeps.
    static ComPtr share(T* raw) {
        ComPtr p;
        p.ptr_ = raw;
        p.addRef();
        return p;
    }

    T* get() const { return ptr_; }
    T* operator->() const { return ptr_; }
    explicit operator bool() const { return ptr_ != nullptr; }

    // Releases the current reference and returns the slot for an out parameter.
    T** put() {
        reset();
        return &ptr_;
    }
    void** putVoid() { return reinterpret_cast<void**>(put()); }

    void reset() {
        if (ptr_ != nullptr) {
            std::exchange(ptr_, nullptr)->Release();
        }
    }
    // Gives the reference to the caller, who must Release it.
    [[nodiscard]] T* release() { return std::exchange(ptr_, nullptr); }
    void swap(ComPtr& other) noexcept { std::swap(ptr_, other.ptr_); }

    // QueryInterface into another owner; the result is the HRESULT of the query.
    template <class U>
    HRESULT queryInterface(REFIID iid, ComPtr<U>& out) const {
        if (ptr_ == nullptr) {
            out.reset();
            return E_POINTER;
        }
        return ptr_->QueryInterface(iid, out.putVoid());
    }

private:
    void addRef() {
        if (ptr_ != nullptr) {
            ptr_->AddRef();
        }
    }

    T* ptr_ = nullptr;
};

// How a BSTR owner disposes of its string.
struct PlainBstrFree {
    static void dispose(BSTR s) { SysFreeString(s); }
};
// Secrets (PINs, data to sign, decrypted values): every byte is zeroed before the string is freed.
struct WipingBstrFree {
    static void dispose(BSTR s) {
        wipeBstr(s);
        SysFreeString(s);
    }
    static void wipeBstr(BSTR s) {
        if (s != nullptr) {
            SecureZeroMemory(s, SysStringByteLen(s));
        }
    }
};

// Owner of one BSTR. A NULL BSTR is a valid (empty) value.
template <class Free>
class BasicBstr {
public:
    BasicBstr() = default;
    explicit BasicBstr(BSTR adopted) : s_(adopted) {}
    BasicBstr(const BasicBstr&) = delete;
    BasicBstr& operator=(const BasicBstr&) = delete;
    BasicBstr(BasicBstr&& other) noexcept : s_(std::exchange(other.s_, nullptr)) {}
    BasicBstr& operator=(BasicBstr&& other) noexcept {
        if (this != &other) {
            reset(std::exchange(other.s_, nullptr));
        }
        return *this;
    }
    ~BasicBstr() { reset(); }

    BSTR get() const { return s_; }
    // Length in UTF-16 units, without the terminator; 0 for NULL.
    UINT length() const { return SysStringLen(s_); }
    // Length in bytes, without the terminator; 0 for NULL.
    UINT byteLength() const { return SysStringByteLen(s_); }
    bool empty() const { return length() == 0; }

    BSTR* put() {
        reset();
        return &s_;
    }
    void reset(BSTR adopted = nullptr) {
        BSTR old = std::exchange(s_, adopted);
        if (old != nullptr && old != adopted) {
            Free::dispose(old);
        }
    }
    // Gives the string to the caller, who must free it (and wipe it, for a secret).
    [[nodiscard]] BSTR release() { return std::exchange(s_, nullptr); }

private:
    BSTR s_ = nullptr;
};

using UniqueBstr = BasicBstr<PlainBstrFree>;

// A BSTR owner for secrets: wipe() zeroes the bytes now, destruction zeroes them again and frees.
class SecretBstr : public BasicBstr<WipingBstrFree> {
public:
    using BasicBstr<WipingBstrFree>::BasicBstr;
    void wipe() { WipingBstrFree::wipeBstr(get()); }
};

// Owner of one VARIANT: initialised empty, cleared (VariantClear) on destruction and on put().
class UniqueVariant {
public:
    UniqueVariant() { VariantInit(&v_); }
    UniqueVariant(const UniqueVariant&) = delete;
    UniqueVariant& operator=(const UniqueVariant&) = delete;
    UniqueVariant(UniqueVariant&& other) noexcept : v_(other.v_) { VariantInit(&other.v_); }
    UniqueVariant& operator=(UniqueVariant&& other) noexcept {
        if (this != &other) {
            reset();
            v_ = other.v_;
            VariantInit(&other.v_);
        }
        return *this;
    }
    ~UniqueVariant() { reset(); }

    const VARIANT& get() const { return v_; }
    VARIANT* addr() { return &v_; }
    VARTYPE type() const { return v_.vt; }
    // Clears the current value and returns it for an out parameter.
    VARIANT* put() {
        reset();
        return &v_;
    }
    // Clears the value; the result is VariantClear's (a failure leaves the value as it was).
    HRESULT reset() { return VariantClear(&v_); }
    // Gives the value to the caller, who must VariantClear it; this owner is left empty.
    [[nodiscard]] VARIANT release() {
        VARIANT out = v_;
        VariantInit(&v_);
        return out;
    }

private:
    VARIANT v_;
};

// The COM error that component wrappers raise inside their guarded call and catch there. It holds
// the failing HRESULT and the error object the component left, where it supplied one. It never
// leaves a module: every thrower's caller catches it.
class ComError {
public:
    explicit ComError(HRESULT hr, ComPtr<IErrorInfo> info = nullptr)
        : hr_(hr), info_(std::move(info)) {}
    HRESULT hr() const { return hr_; }
    IErrorInfo* errorInfo() const { return info_.get(); }

private:
    HRESULT hr_;
    ComPtr<IErrorInfo> info_;
};

// Throws ComError(hr) with the calling thread's error object when `source` says (through
// ISupportErrorInfo) that it supplies one for `iid`. Taking the error object clears it, so a stale
// one never reaches a later failure. `source` may be NULL.
[[noreturn]] void throwComError(HRESULT hr, IUnknown* source = nullptr, REFIID iid = IID_NULL);

// Throws ComError(hr) when hr is a failure; returns hr otherwise.
inline HRESULT checkHr(HRESULT hr, IUnknown* source = nullptr, REFIID iid = IID_NULL) {
    if (FAILED(hr)) {
        throwComError(hr, source, iid);
    }
    return hr;
}

// Initialises COM (CoInitialize, single-threaded apartment) on the calling thread the first time
// this thread asks, and keeps it for the thread's life: code that may run on any thread (a plug-in
// library called from its host's worker threads) calls this on every entry. A thread that had
// initialised COM itself keeps its own apartment (the refusal RPC_E_CHANGED_MODE is harmless).
// Returns the HRESULT of the first CoInitialize on this thread.
HRESULT ensureThreadComInitialised();

// Scoped COM initialisation for threads a program owns: CoInitializeEx on construction and, when it
// succeeded, CoUninitialize on destruction.
class ComApartment {
public:
    explicit ComApartment(DWORD flags = COINIT_APARTMENTTHREADED)
        : hr_(CoInitializeEx(nullptr, flags)) {}
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;
    ~ComApartment() {
        if (SUCCEEDED(hr_)) {
            CoUninitialize();
        }
    }
    HRESULT hr() const { return hr_; }
    bool ok() const { return SUCCEEDED(hr_); }

private:
    HRESULT hr_;
};

#endif
