// Calls a method of a COM-style object by vtable slot with arguments packed as machine words
// (module AdapterProject). The one place that knows how the two Windows ABIs pass arguments; it
// has no Win32 dependency, so its tests also run as Linux programs (i386 under emulation).
#ifndef QM_ADAPTERS_ADAPTERPROJECT_METHODCALLER_H
#define QM_ADAPTERS_ADAPTERPROJECT_METHODCALLER_H

#include <array>
#include <cstddef>
#include <cstdint>

// The components' methods are stdcall on 32-bit x86 and follow the Microsoft x64 convention on
// x86_64 (said explicitly, so that a Linux build of the tests calls them the same way).
#if defined(__i386__)
#define QM_COMPONENT_CALL __attribute__((stdcall))
#elif defined(__x86_64__)
#define QM_COMPONENT_CALL __attribute__((ms_abi))
#else
#error "the component-method caller knows 32-bit x86 and x86_64 only"
#endif

namespace methodcall {

using Word = std::uintptr_t;

// Enough for the widest row: 8 arguments, each a record of up to 16 bytes on i686, and one out
// pointer.
inline constexpr std::size_t kMaxRecords = 8;
inline constexpr std::size_t kMaxRecordBytes = 24;
inline constexpr std::size_t kMaxWords = 4 * kMaxRecords + 1;

// The argument list of one call, in order. Adding past kMaxWords words or kMaxRecords records,
// or a record larger than kMaxRecordBytes, marks the list overflowed; callSlot then refuses it.
class Arguments {
public:
    Arguments() = default;
    // The words of a record copy point into this list: it never moves.
    Arguments(const Arguments&) = delete;
    Arguments& operator=(const Arguments&) = delete;

    // A pointer (text, out value), passed in one slot.
    void addPointer(const void* pointer);
    // A 32-bit integer, passed in one slot.
    void addInt32(int32_t value);
    // A record passed by value (a VARIANT): as its 32-bit words on i686; on x86_64, as a pointer
    // to a copy that this list owns until it is destroyed, unless it is 1, 2, 4 or 8 bytes long.
    void addRecord(const void* record, std::size_t size);

    const Word* words() const { return words_.data(); }
    std::size_t count() const { return count_; }
    bool overflowed() const { return overflowed_; }

private:
    void add(Word word);

    std::array<Word, kMaxWords> words_{};
    std::size_t count_ = 0;
    alignas(16) unsigned char copies_[kMaxRecords][kMaxRecordBytes] = {};
    std::size_t copyCount_ = 0;
    bool overflowed_ = false;
};

// Calls vtable slot `slot` of `object` (whose first word points to its vtable) with the object
// and the arguments. Returns the method's 32-bit result, or `refused` without calling when the
// list overflowed.
int32_t callSlot(void* object, int slot, const Arguments& arguments, int32_t refused);

}  // namespace methodcall

#endif
