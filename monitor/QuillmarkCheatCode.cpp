// The log settings text and the key-sequence matcher.
#include "monitor/QuillmarkCheatCode.h"

#include <cstdio>
#include <iterator>

namespace {

constexpr size_t kIniTextRoom = 512;

// Pieces of the sequences; the sequences are put together from them at run time so that no
// sequence stands in the program as one run of codes.
constexpr int32_t kVkReturn = 0x0D;
constexpr int32_t kVkLeft = 0x25;
constexpr int32_t kVkUp = 0x26;
constexpr int32_t kVkRight = 0x27;
constexpr int32_t kVkDown = 0x28;

std::vector<int32_t> lettersOf(const char* letters) {
    std::vector<int32_t> codes;
    for (const char* at = letters; *at != '\0'; ++at) {
        codes.push_back(static_cast<unsigned char>(*at));  // 'A'-'Z' are their own key codes
    }
    return codes;
}

void appendCodes(std::vector<int32_t>& target, const std::vector<int32_t>& piece) {
    target.insert(target.end(), piece.begin(), piece.end());
}

}  // namespace

std::string buildLogIniText(const char* logRoot) {
    std::string text = "[OqtQuillmark]\n";
    if (logRoot != nullptr && logRoot[0] != '\0') {
        text += "Log File=";
        text += logRoot;
        text += "\\";
        text += kLogFolderName;
        text += "\\OqtQuillmark.txt\n";
    }
    text += "Log Level=5";
    if (text.size() > kIniTextRoom - 1) {
        text.resize(kIniTextRoom - 1);
    }
    return text;
}

std::vector<std::vector<int32_t>> cheatCodeSequences() {
    const std::vector<int32_t> quill = lettersOf("QUILL");
    const std::vector<int32_t> mark = lettersOf("MARK");
    const std::vector<int32_t> log = lettersOf("LOG");
    const std::vector<int32_t> debug = lettersOf("DEBUG");

    std::vector<int32_t> first = quill;  // QUILLMARKLOG, Enter: 13
    appendCodes(first, mark);
    appendCodes(first, log);
    first.push_back(kVkReturn);

    std::vector<int32_t> second = {kVkUp, kVkUp, kVkDown, kVkDown, kVkLeft, kVkRight};  // 7
    second.push_back(kVkReturn);

    std::vector<int32_t> third = lettersOf("OQT");  // OQTDEBUGLOG: 11
    appendCodes(third, debug);
    appendCodes(third, log);
    return {first, second, third};
}

const CheatCodeRecord* pushKeyAndMatch(
    std::deque<int32_t>& history, int32_t key,
    const std::vector<std::unique_ptr<CheatCodeRecord>>& records) {
    history.push_back(key);
    while (history.size() > kKeyHistoryLimit) {
        history.pop_front();
    }
    for (const std::unique_ptr<CheatCodeRecord>& record : records) {
        if (!record || record->count <= 0) {
            continue;
        }
        const size_t count = static_cast<size_t>(record->count);
        if (history.size() < count) {
            continue;
        }
        auto tail = std::prev(history.end(), static_cast<std::ptrdiff_t>(count));
        if (std::equal(tail, history.end(), record->codes)) {
            history.clear();
            return record.get();
        }
    }
    return nullptr;
}
