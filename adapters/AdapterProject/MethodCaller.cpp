// The component-method caller for the two x86 ABIs (module AdapterProject).
#include "adapters/AdapterProject/MethodCaller.h"

#include <cstring>
#include <utility>

namespace methodcall {
namespace {

// How a record passed by value travels. i686: pushed on the stack as its words. x86_64 (the
// Microsoft convention): a record of 1, 2, 4 or 8 bytes in one slot, anything else as a pointer
// to a copy that the caller made, which the callee may change.
#if defined(__i386__)
static_assert(sizeof(Word) == 4);
constexpr bool kRecordsAsWords = true;
#elif defined(__x86_64__)
static_assert(sizeof(Word) == 8);
constexpr bool kRecordsAsWords = false;
#endif

using SlotCaller = int32_t (*)(void* self, void* method, const Word* words);

// Every argument takes whole integer slots under both conventions, so one caller per word count
// serves every method: the callee reads exactly the slots its own parameters occupy.
template <std::size_t... I>
int32_t callWords(void* self, void* method, const Word* words, std::index_sequence<I...>) {
    using Method = int32_t(QM_COMPONENT_CALL*)(void*, decltype(static_cast<void>(I), Word{})...);
    return reinterpret_cast<Method>(method)(self, words[I]...);
}

template <std::size_t N>
int32_t callCount(void* self, void* method, const Word* words) {
    return callWords(self, method, words, std::make_index_sequence<N>());
}

template <std::size_t... N>
constexpr std::array<SlotCaller, sizeof...(N)> makeCallers(std::index_sequence<N...>) {
    return {&callCount<N>...};
}

constexpr auto kCallers = makeCallers(std::make_index_sequence<kMaxWords + 1>());

}  // namespace

void Arguments::add(Word word) {
    if (count_ == kMaxWords) {
        overflowed_ = true;
        return;
    }
    words_[count_++] = word;
}

void Arguments::addPointer(const void* pointer) {
    add(reinterpret_cast<Word>(pointer));
}

void Arguments::addInt32(int32_t value) {
    add(static_cast<Word>(static_cast<uint32_t>(value)));
}

void Arguments::addRecord(const void* record, std::size_t size) {
    if (size > kMaxRecordBytes) {
        overflowed_ = true;
        return;
    }
    if constexpr (kRecordsAsWords) {
        for (std::size_t at = 0; at < size; at += sizeof(Word)) {
            Word word = 0;
            std::memcpy(&word, static_cast<const unsigned char*>(record) + at,
                        size - at < sizeof(Word) ? size - at : sizeof(Word));
            add(word);
        }
        return;
    }
    if (size == 1 || size == 2 || size == 4 || size == 8) {
        Word word = 0;
        std::memcpy(&word, record, size);
        add(word);
        return;
    }
    if (copyCount_ == kMaxRecords) {
        overflowed_ = true;
        return;
    }
    unsigned char* copy = copies_[copyCount_++];
    std::memcpy(copy, record, size);
    add(reinterpret_cast<Word>(copy));
}

int32_t callSlot(void* object, int slot, const Arguments& arguments, int32_t refused) {
    if (arguments.overflowed()) {
        return refused;
    }
    void** vtable = *static_cast<void***>(object);
    return kCallers[arguments.count()](object, vtable[slot], arguments.words());
}

}  // namespace methodcall
