#include "adapters/AdapterProject/AdapterReading.h"

#include "adapters/AdapterProject/AdapterState.h"
#include "common/Log.h"
#include "common/Tool.h"

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr const char* kJsonModule = "Json";

void keyMissed(const char* key) {
    AdapterState& state = adapterState();
    if (!state.keyCheckMode || key == nullptr || !isCheckedJsonMapKey(key)) {
        return;
    }
    logWarning("Json map key not found: ", key);
    state.keyCheckError = kAdapterKeyMissing;
}

bool equalsIgnoreCase(const char* a, const char* b) {
    for (; *a != '\0' && *b != '\0'; ++a, ++b) {
        if (std::tolower(static_cast<unsigned char>(*a)) !=
            std::tolower(static_cast<unsigned char>(*b))) {
            return false;
        }
    }
    return *a == *b;
}

// The decoded value of key, or null when missing. The value is decoded where it stands in the map
// (no raw copy), and a value deciphered ahead by the service is not deciphered again.
SecretText decodedValue(const JsonMap* map, const char* key, int line) {
    if (map == nullptr) {
        qm::logNullParameter("inputQuillmarkJson", kJsonModule, line);
        return nullptr;
    }
    if (key == nullptr) {
        qm::logNullParameter("inputKey", kJsonModule, line);
        return nullptr;
    }
    return SecretText(::getJsonMapValue(map, key));
}

int32_t readInteger(const JsonMap* map, const char* key, int line) {
    const SecretText value = decodedValue(map, key, line);
    if (!value) {
        return 0;
    }
    if (equalsIgnoreCase(value.get(), "true")) {
        return 1;
    }
    if (equalsIgnoreCase(value.get(), "false")) {
        return 0;
    }
    return leadingDecimalNumber(value.get());
}

void appendElementText(std::wstring& out, VARIANT& element) {
    if (element.vt == VT_BSTR) {
        out.append(element.bstrVal, SysStringLen(element.bstrVal));
        return;
    }
    if (element.vt == VT_INT) {
        UniqueVariant number;
        number.addr()->vt = VT_I4;
        number.addr()->lVal = element.intVal;
        checkHr(VariantChangeType(number.addr(), number.addr(), 0, VT_BSTR));
        out.append(number.get().bstrVal, SysStringLen(number.get().bstrVal));
    }
}

// The text of an array VARIANT. Anything that does not look like one readable dimension gives
// nothing rather than a read out of the array's bounds.
void appendArrayText(std::wstring& out, const VARIANT& value) {
    SAFEARRAY* array = value.parray;
    if ((value.vt & VT_BYREF) != 0 || array == nullptr || SafeArrayGetDim(array) != 1) {
        return;
    }
    LONG lower = 0;
    LONG upper = -1;
    if (FAILED(SafeArrayGetLBound(array, 1, &lower)) ||
        FAILED(SafeArrayGetUBound(array, 1, &upper))) {
        return;
    }
    const VARTYPE elementType = value.vt & ~VT_ARRAY;
    std::wstring text;
    for (LONG i = lower; i <= upper && i >= lower; ++i) {
        if (elementType != VT_VARIANT) {
            std::printf("Error!! value->vt & ~VT_ARRAY = %d\n", static_cast<int>(elementType));
            continue;
        }
        UniqueVariant element;
        if (FAILED(SafeArrayGetElement(array, &i, element.addr()))) {
            return;
        }
        appendElementText(text, *element.addr());
        text += L';';
    }
    out += text;
}

}  // namespace

void WipingFree::operator()(char* text) const {
    if (text != nullptr) {
        SecureZeroMemory(text, std::strlen(text));
        std::free(text);
    }
}

void installAdapterKeyCheck() {
    setJsonMapMissHandler(&keyMissed);
}

namespace adapter {

int32_t getJsonMapInt(const JsonMap* map, const char* key) {
    return readInteger(map, key, __LINE__);
}

int32_t getJsonMapLong(const JsonMap* map, const char* key) {
    return readInteger(map, key, __LINE__);
}

SecretBstr getJsonMapBstr(const JsonMap* map, const char* key) {
    const SecretText value = decodedValue(map, key, __LINE__);
    if (!value) {
        return SecretBstr();
    }
    return SecretBstr(utf8ToBstr(value.get(), std::strlen(value.get())));
}

SecretText getJsonMapValue(const JsonMap* map, const char* key) {
    return decodedValue(map, key, __LINE__);
}

}  // namespace adapter

int32_t leadingDecimalNumber(const char* text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    while (std::isspace(*p)) {
        ++p;
    }
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    }
    // Accumulated as a negative number so that INT32_MIN fits; held at the limits.
    int64_t value = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        value = value * 10 - (*p - '0');
        if (value < INT32_MIN) {
            return negative ? INT32_MIN : INT32_MAX;
        }
    }
    if (negative) {
        return static_cast<int32_t>(value);
    }
    return value < -INT32_MAX ? INT32_MAX : static_cast<int32_t>(-value);
}

char* bstrResultToUtf8(UniqueBstr& holder) {
    const UniqueBstr owned = std::move(holder);
    const UINT units = owned.length();
    if (units == 0 || units > INT_MAX) {
        return nullptr;
    }
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, owned.get(), static_cast<int>(units), nullptr,
                                          0, nullptr, nullptr);
    if (bytes <= 0) {
        return nullptr;
    }
    auto* text = static_cast<char*>(allocZeroed(static_cast<size_t>(bytes) + 1));
    if (text == nullptr) {
        return nullptr;
    }
    WideCharToMultiByte(CP_UTF8, 0, owned.get(), static_cast<int>(units), text, bytes, nullptr,
                        nullptr);
    return text;
}

char* intToDecimalString(int32_t value) {
    auto* text = static_cast<char*>(allocZeroed(64));
    if (text == nullptr) {
        qm::logAllocationFailure("Tool", __LINE__);
        return nullptr;
    }
    std::snprintf(text, 64, "%d", static_cast<int>(value));
    return text;
}

char* longToDecimalString(long value) {
    char digits[32] = {};
    std::snprintf(digits, sizeof digits, "%ld", value);
    return duplicateString(digits);
}

UniqueBstr variantToBstrT(VARIANT& value) {
    UniqueVariant copy;
    checkHr(VariantCopy(copy.addr(), &value));
    std::wstring text;
    const VARIANT& v = copy.get();
    if (v.vt == VT_BOOL) {
        text = v.boolVal != VARIANT_FALSE ? L"1" : L"0";
    } else if ((v.vt & VT_ARRAY) != 0) {
        appendArrayText(text, v);
    }
    copy.reset();
    VariantClear(&value);
    UniqueBstr result(SysAllocStringLen(text.data(), static_cast<UINT>(text.size())));
    if (!result.get()) {
        throw ComError(E_OUTOFMEMORY);
    }
    return result;
}

char* variantToUtf8(VARIANT& value) {
    UniqueVariant copy;
    checkHr(VariantCopy(copy.addr(), &value));
    UniqueBstr text = variantToBstrT(*copy.addr());
    VariantClear(&value);
    return bstrResultToUtf8(text);
}
