// Message: the record, its JSON text, the time stamp and the hash (portable part).
#include "common/Message.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/AES.h"
#include "common/Log.h"
#include "common/Tool.h"

namespace {

constexpr char kModuleName[] = "Message";

// Fixed for the life of the system: every program hashes with these bytes, so changing them
// cuts old and new programs off from each other. No byte is zero: the salt is appended as text.
constexpr char kSalt[] =
    "\x02\xFC\x25\xF6\x1D\xB8\x5B\x02\xF6\x6D\x0C\x31"
    "\x74\x4A\x90\xF4\x9F\xD3\x74\x72\x59\xA8\xA7\xA1"
    "\xE6\x02\xC2\x58\x2B\xEA\x8C\xD3\xA3\x6A\x94\x97"
    "\x13\xC5\xE6\xC6\x01\xFB\x2B\xC0\x1C\x07\x1E\x85"
    "\x54\x77\xA6\xD2\xA5\x81\x14\x65\xF7\xDD\x66\xBC"
    "\xAB\x99\xCB\x04\x76\x03\x56\x08\xD5\x43\x07";
static_assert(sizeof(kSalt) == kMessageSaltLength + 1);

constexpr bool saltHasNoZeroByte() {
    for (size_t i = 0; i < kMessageSaltLength; ++i) {
        if (kSalt[i] == '\0') {
            return false;
        }
    }
    return true;
}
static_assert(saltHasNoZeroByte());

// Start and end of each time piece within the TimeValue text.
constexpr size_t kPieceBounds[4][2] = {{0, 3}, {3, 7}, {7, 11}, {11, 16}};
// Bit position of each piece in the time count.
constexpr unsigned kPieceShift[4] = {52, 36, 20, 0};
constexpr size_t kTimeValueMaxRead = 19;

constexpr char kJsonFormat[] =
    "{\"From\":\"%s\", \"To\":\"%s\", \"Instruction\":\"%s\", "
    "\"Message\":\"%s\", \"TimeValue\":\"%s\", \"HashValue\":\"%s\"}";

// The fields that the hash covers (all but HashValue itself).
bool hasHashedFields(const QuillmarkMessage* message) {
    if (message == nullptr || message->From == nullptr || message->To == nullptr ||
        message->Instruction == nullptr || message->Message == nullptr) {
        return false;
    }
    for (const char* piece : message->timePieces) {
        if (piece == nullptr) {
            return false;
        }
    }
    return true;
}

bool hasEveryField(const QuillmarkMessage* message) {
    return hasHashedFields(message) && message->HashValue != nullptr;
}

// Splits a time text into the four pieces; false (pieces left null) when memory runs out.
bool splitTimeText(const char* text, char* pieces[4]) {
    size_t length = std::strlen(text);
    if (length > kTimeValueMaxRead) {
        length = kTimeValueMaxRead;
    }
    for (size_t i = 0; i < 4; ++i) {
        size_t begin = kPieceBounds[i][0] < length ? kPieceBounds[i][0] : length;
        size_t end = kPieceBounds[i][1] < length ? kPieceBounds[i][1] : length;
        pieces[i] = substring(text, begin, end);
        if (pieces[i] == nullptr) {
            for (size_t j = 0; j < i; ++j) {
                std::free(pieces[j]);
                pieces[j] = nullptr;
            }
            qm::logAllocationFailure(kModuleName, __LINE__);
            return false;
        }
    }
    return true;
}

// The pieces joined again (at most 16 characters); null on no memory.
char* joinTimePieces(const QuillmarkMessage* message) {
    size_t length = 0;
    for (const char* piece : message->timePieces) {
        length += std::strlen(piece);
    }
    auto* text = static_cast<char*>(allocZeroed(length + 1));
    if (text == nullptr) {
        qm::logAllocationFailure(kModuleName, __LINE__);
        return nullptr;
    }
    char* out = text;
    for (const char* piece : message->timePieces) {
        size_t pieceLength = std::strlen(piece);
        std::memcpy(out, piece, pieceLength);
        out += pieceLength;
    }
    return text;
}

void logTimeValue(const char* label, int64_t value) {
    char text[32];
    std::snprintf(text, sizeof(text), "%" PRIx64, static_cast<uint64_t>(value));
    logWarning(label, text);
}

}  // namespace

QuillmarkMessage* parseIpcMessage(const char* json) {
    if (json == nullptr) {
        qm::logNullParameter("inputJSONObj", kModuleName, __LINE__);
        return nullptr;
    }
    auto* message = static_cast<QuillmarkMessage*>(allocZeroed(sizeof(QuillmarkMessage)));
    if (message == nullptr) {
        qm::logAllocationFailure(kModuleName, __LINE__);
        return nullptr;
    }
    message->From = getJsonValue(json, "From");
    message->To = getJsonValue(json, "To");
    message->Instruction = getJsonValue(json, "Instruction");
    message->Message = getJsonValue(json, "Message");
    message->HashValue = getJsonValue(json, "HashValue");
    char* timeValue = getJsonValue(json, "TimeValue");
    if (timeValue != nullptr) {
        splitTimeText(timeValue, message->timePieces);
        std::free(timeValue);
    }
    return message;
}

int64_t ipcMessageTime(const QuillmarkMessage* message) {
    if (message == nullptr) {
        return 0;
    }
    for (const char* piece : message->timePieces) {
        if (piece == nullptr) {
            return 0;
        }
    }
    char* joined = joinTimePieces(message);
    if (joined == nullptr) {
        return 0;
    }
    char* aligned = rightAlign16(joined);
    std::free(joined);
    if (aligned == nullptr) {
        return 0;
    }
    uint64_t time = 0;
    for (size_t i = 0; i < 4; ++i) {
        char cut[8] = {};
        size_t width = kPieceBounds[i][1] - kPieceBounds[i][0];
        std::memcpy(cut, aligned + kPieceBounds[i][0], width);
        // A cut of blanks has no digits and reads 0 (the status is not needed here).
        uint64_t part = static_cast<uint32_t>(hexStringToLong(cut));
        time += part << kPieceShift[i];
    }
    std::free(aligned);
    return static_cast<int64_t>(time);
}

char* computeMessageHash(const QuillmarkMessage* message) {
    if (!hasHashedFields(message)) {
        return nullptr;
    }
    const char* parts[] = {message->From,
                           message->To,
                           message->timePieces[0],
                           message->timePieces[1],
                           message->timePieces[2],
                           message->timePieces[3],
                           kSalt,
                           message->Instruction,
                           message->Message};
    size_t length = 0;
    for (const char* part : parts) {
        length += std::strlen(part);
    }
    auto* text = static_cast<char*>(allocZeroed(length + 1));
    if (text == nullptr) {
        qm::logAllocationFailure(kModuleName, __LINE__);
        return nullptr;
    }
    char* out = text;
    for (const char* part : parts) {
        size_t partLength = std::strlen(part);
        std::memcpy(out, part, partLength);
        out += partLength;
    }
    char* hash = sha512Hex(text);
    std::free(text);
    return hash;
}

bool verifyIpcMessageAt(const QuillmarkMessage* message, int64_t now) {
    if (!hasEveryField(message)) {
        return false;
    }
    int64_t time = ipcMessageTime(message);
    // A count of 0 means the receiver could not read its clock: nothing can be judged against it.
    uint64_t age = static_cast<uint64_t>(now) - static_cast<uint64_t>(time);
    if (now == 0 || age > kMessageMaxAge) {
        logTimeValue("QuillmarkMessage now time value: ", now);
        logTimeValue("QuillmarkMessage message time value: ", time);
        logWarning("QuillmarkMessage verify fail: ", "Replay attack");
        return false;
    }
    char* expected = computeMessageHash(message);
    bool valid = expected != nullptr && std::strcmp(expected, message->HashValue) == 0;
    std::free(expected);
    if (valid) {
        logNormal("QuillmarkMessage verify state: ", "Success");
    } else {
        logWarning("QuillmarkMessage verify state: ", "Fail");
    }
    return valid;
}

bool verifyIpcMessage(const QuillmarkMessage* message) {
    return verifyIpcMessageAt(message, getTimeValue());
}

void freeIpcMessage(QuillmarkMessage* message) {
    if (message == nullptr) {
        return;
    }
    std::free(message->From);
    std::free(message->To);
    std::free(message->Instruction);
    std::free(message->Message);
    for (char* piece : message->timePieces) {
        std::free(piece);
    }
    std::free(message->HashValue);
    std::free(message);
}

char* formatTimeValue(int64_t timeValue) {
    auto* text = static_cast<char*>(allocZeroed(24));
    if (text == nullptr) {
        qm::logAllocationFailure(kModuleName, __LINE__);
        return nullptr;
    }
    std::snprintf(text, 24, "%" PRIx64, static_cast<uint64_t>(timeValue));
    return text;
}

QuillmarkMessage* buildIpcMessage(const char* from, const char* to, const char* instruction,
                                  const char* message, int64_t timeValue) {
    if (from == nullptr || to == nullptr || instruction == nullptr) {
        return nullptr;
    }
    UniqueIpcMessage record(static_cast<QuillmarkMessage*>(allocZeroed(sizeof(QuillmarkMessage))));
    char* timeText = formatTimeValue(timeValue);
    if (record == nullptr || timeText == nullptr) {
        std::free(timeText);
        qm::logAllocationFailure(kModuleName, __LINE__);
        return nullptr;
    }
    bool split = splitTimeText(timeText, record->timePieces);
    std::free(timeText);
    record->From = duplicateString(from);
    record->To = duplicateString(to);
    record->Instruction = duplicateString(instruction);
    record->Message = duplicateString(message != nullptr ? message : "");
    if (!split || record->From == nullptr || record->To == nullptr ||
        record->Instruction == nullptr || record->Message == nullptr) {
        return nullptr;
    }
    record->HashValue = computeMessageHash(record.get());
    if (record->HashValue == nullptr) {
        return nullptr;
    }
    return record.release();
}

char* formatMessageJson(const QuillmarkMessage* message) {
    if (!hasEveryField(message)) {
        return nullptr;
    }
    char* timeText = joinTimePieces(message);
    if (timeText == nullptr) {
        return nullptr;
    }
    const char* texts[] = {message->From,    message->To, message->Instruction,
                           message->Message, timeText,    message->HashValue};
    size_t length = sizeof(kJsonFormat);
    for (const char* text : texts) {
        length += std::strlen(text);
    }
    auto* json = static_cast<char*>(allocZeroed(length));
    if (json == nullptr) {
        std::free(timeText);
        qm::logAllocationFailure(kModuleName, __LINE__);
        return nullptr;
    }
    std::snprintf(json, length, kJsonFormat, texts[0], texts[1], texts[2], texts[3], texts[4],
                  texts[5]);
    std::free(timeText);
    return json;
}

const char* messageSaltForTesting() {
    return kSalt;
}
