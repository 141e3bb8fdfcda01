// Owners for Win32 handles, each with its own invalid value and its own way of letting go, and a
// scope guard. Letting go keeps GetLastError() intact, so an owner going out of scope between a
// failing call and the reading of its error code does not change the code.
#ifndef QM_COMMON_WIN_HANDLES_H
#define QM_COMMON_WIN_HANDLES_H

#include <windows.h>

#include <utility>

// Move-only owner of one value of Traits::Type. Traits gives invalid() and close(value).
template <typename Traits>
class UniqueResource {
public:
    using Type = typename Traits::Type;

    UniqueResource() noexcept = default;
    explicit UniqueResource(Type value) noexcept : value_(value) {}
    UniqueResource(const UniqueResource&) = delete;
    UniqueResource& operator=(const UniqueResource&) = delete;
    UniqueResource(UniqueResource&& other) noexcept : value_(other.release()) {}
    UniqueResource& operator=(UniqueResource&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    ~UniqueResource() { reset(); }

    Type get() const noexcept { return value_; }
    bool valid() const noexcept { return value_ != Traits::invalid(); }
    explicit operator bool() const noexcept { return valid(); }

    // Hands the value out; the owner is empty afterwards.
    Type release() noexcept { return std::exchange(value_, Traits::invalid()); }

    // Lets go of the current value (if any) and takes value.
    void reset(Type value = Traits::invalid()) noexcept {
        const Type old = std::exchange(value_, value);
        if (old != Traits::invalid()) {
            const DWORD error = GetLastError();
            Traits::close(old);
            SetLastError(error);
        }
    }

    // For out-parameters: lets go of the current value and gives the slot to fill.
    Type* put() noexcept {
        reset();
        return &value_;
    }

private:
    Type value_ = Traits::invalid();
};

struct HandleTraits {
    using Type = HANDLE;
    static Type invalid() noexcept { return nullptr; }
    static void close(Type value) noexcept { CloseHandle(value); }
};

// Files opened with CreateFileW report failure as INVALID_HANDLE_VALUE, not null.
struct FileHandleTraits {
    using Type = HANDLE;
    static Type invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void close(Type value) noexcept { CloseHandle(value); }
};

struct HmoduleTraits {
    using Type = HMODULE;
    static Type invalid() noexcept { return nullptr; }
    static void close(Type value) noexcept { FreeLibrary(value); }
};

// A mutex handle that the owning thread has acquired: released, then closed.
struct OwnedMutexTraits {
    using Type = HANDLE;
    static Type invalid() noexcept { return nullptr; }
    static void close(Type value) noexcept {
        ReleaseMutex(value);
        CloseHandle(value);
    }
};

// Process, thread, event and mutex handles (null when invalid), closed with CloseHandle.
using UniqueHandle = UniqueResource<HandleTraits>;
// CreateFileW results (INVALID_HANDLE_VALUE when invalid).
using UniqueFileHandle = UniqueResource<FileHandleTraits>;
// LoadLibraryW results, freed with FreeLibrary.
using UniqueHmodule = UniqueResource<HmoduleTraits>;
// An acquired mutex, as getMutexLock hands it out: ReleaseMutex, then CloseHandle.
using UniqueMutex = UniqueResource<OwnedMutexTraits>;

// Runs a callable when the scope ends, unless dismissed.
template <typename Callable>
class ScopeExit {
public:
    explicit ScopeExit(Callable callable) noexcept : callable_(std::move(callable)) {}
    ScopeExit(const ScopeExit&) = delete;
    ScopeExit& operator=(const ScopeExit&) = delete;
    ~ScopeExit() {
        if (active_) {
            callable_();
        }
    }
    void dismiss() noexcept { active_ = false; }

private:
    Callable callable_;
    bool active_ = true;
};

#endif  // QM_COMMON_WIN_HANDLES_H
