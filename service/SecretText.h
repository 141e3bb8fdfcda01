// SecretText: owners of texts that may hold a secret (a value of the value store, a decoded
// request value, a request body, a serialised reply, a private key). Each is overwritten with
// zeros before it is freed, so secrets in memory live no longer than their owner.
#ifndef QM_SERVICE_SECRETTEXT_H
#define QM_SERVICE_SECRETTEXT_H

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "common/Tool.h"

// Overwrites the NUL-terminated heap text with zeros and frees it with free(); null does nothing.
inline void wipeAndFreeText(char* text) {
    if (text == nullptr) {
        return;
    }
    secureZero(text, std::strlen(text));
    std::free(text);
}

struct WipingFree {
    void operator()(char* text) const { wipeAndFreeText(text); }
};
// A heap text (malloc/free) that is wiped before it is freed.
using SecretText = std::unique_ptr<char, WipingFree>;

// Overwrites every byte of text with zeros and empties it (its buffer stays allocated).
inline void wipeString(std::string& text) {
    secureZero(text.data(), text.size());
    text.clear();
}

#endif  // QM_SERVICE_SECRETTEXT_H
