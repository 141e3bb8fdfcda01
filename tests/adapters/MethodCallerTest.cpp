// The component-method caller against a stand-in object whose vtable holds methods of every
// argument shape the two method tables use. Built for the Windows targets, natively on Linux
// x86_64 (the Microsoft x64 convention) and as an i386 Linux program (stdcall), so that both
// branches of the caller run here whatever Wine can start.
#include "adapters/AdapterProject/MethodCaller.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

using methodcall::Arguments;

// Same size and layout as a VARIANT on both targets: 16 bytes on i686, 24 on x86_64.
struct Variant {
    uint16_t vt;
    uint16_t reserved[3];
    union {
        const void* pointer;
        int64_t value;
        const void* record[2];
    };
};
static_assert(sizeof(Variant) == (sizeof(void*) == 4 ? 16 : 24));

// What the last method call received, as text, so that a shifted or missing slot shows up as a
// readable difference.
std::string received;

std::string num(const void* pointer) {
    return std::to_string(reinterpret_cast<uintptr_t>(pointer));
}

std::string variantText(const Variant& v) {
    return "variant(" + std::to_string(v.vt) + "," + num(v.record[0]) + "," + num(v.record[1]) + ")";
}

struct Object;

// The method shapes of the two tables (texts are pointers, ints and longs 32-bit, the ANSI text
// a VARIANT by value, out values pointers), plus the widest row and one with no argument.
int32_t QM_COMPONENT_CALL textVariantTextOut(Object*, const wchar_t* a, Variant b, void** out) {
    received = num(a) + " " + variantText(b) + " " + num(out);
    *out = reinterpret_cast<void*>(0x5151);
    // The callee owns its copy of a VARIANT passed by value and may change it.
    b.vt = 0;
    return 0x11;
}
int32_t QM_COMPONENT_CALL textsIntsLongOut(Object*, const wchar_t* a, const wchar_t* b, int32_t c,
                                           int32_t d, int32_t* out) {
    received = num(a) + " " + num(b) + " " + std::to_string(c) + " " + std::to_string(d) + " " +
               num(out);
    *out = -7;
    return 0x22;
}
int32_t QM_COMPONENT_CALL intListOut(Object*, int32_t a, Variant* out) {
    received = std::to_string(a) + " " + num(out);
    return 0x33;
}
int32_t QM_COMPONENT_CALL noArguments(Object*) {
    received = "none";
    return 0x44;
}
int32_t QM_COMPONENT_CALL widest(Object*, const wchar_t* a, int32_t b, const wchar_t* c, int32_t d,
                                 const wchar_t* e, int32_t f, const wchar_t* g, int32_t h,
                                 void** out) {
    received = num(a) + " " + std::to_string(b) + " " + num(c) + " " + std::to_string(d) + " " +
               num(e) + " " + std::to_string(f) + " " + num(g) + " " + std::to_string(h) + " " +
               num(out);
    return 0x55;
}
int32_t QM_COMPONENT_CALL variantFirst(Object*, Variant a, int32_t b, const wchar_t* c) {
    received = variantText(a) + " " + std::to_string(b) + " " + num(c);
    return 0x66;
}

struct Object {
    void* const* vtable;
};

// Slots 0-6 are IUnknown's and IDispatch's; the table's methods start at 7.
void* const kVtable[] = {
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
    reinterpret_cast<void*>(&textVariantTextOut),
    reinterpret_cast<void*>(&textsIntsLongOut),
    reinterpret_cast<void*>(&intListOut),
    reinterpret_cast<void*>(&noArguments),
    reinterpret_cast<void*>(&widest),
    reinterpret_cast<void*>(&variantFirst),
};

const wchar_t kA[] = L"a";
const wchar_t kB[] = L"b";
const wchar_t kC[] = L"c";
const wchar_t kD[] = L"d";

Variant bstrVariant() {
    Variant v{};
    v.vt = 8;  // VT_BSTR
    v.record[0] = kC;
    v.record[1] = kD;
    return v;
}

struct Case {
    const char* name;
    int slot;
    void (*fill)(Arguments& arguments, void** out);
    std::string (*expected)(void** out);
    int32_t result;
};

const Case kCases[] = {
    {"text, ANSI VARIANT by value, text out", 7,
     [](Arguments& a, void** out) {
         const Variant v = bstrVariant();
         a.addPointer(kA);
         a.addRecord(&v, sizeof v);
         a.addPointer(out);
     },
     [](void** out) { return num(kA) + " " + variantText(bstrVariant()) + " " + num(out); },
     0x11},
    {"texts, negative int and long, long out", 8,
     [](Arguments& a, void** out) {
         a.addPointer(kA);
         a.addPointer(kB);
         a.addInt32(-1);
         a.addInt32(INT32_MIN);
         a.addPointer(out);
     },
     [](void** out) {
         return num(kA) + " " + num(kB) + " -1 " + std::to_string(INT32_MIN) + " " + num(out);
     },
     0x22},
    {"int, list out", 9,
     [](Arguments& a, void** out) {
         a.addInt32(INT32_MAX);
         a.addPointer(out);
     },
     [](void** out) { return std::to_string(INT32_MAX) + " " + num(out); }, 0x33},
    {"no argument", 10, [](Arguments&, void**) {}, [](void**) { return std::string("none"); },
     0x44},
    {"eight arguments and an out value", 11,
     [](Arguments& a, void** out) {
         for (int i = 0; i < 4; ++i) {
             a.addPointer(i % 2 == 0 ? kA : kB);
             a.addInt32(1000 + i);
         }
         a.addPointer(out);
     },
     [](void** out) {
         return num(kA) + " 1000 " + num(kB) + " 1001 " + num(kA) + " 1002 " + num(kB) + " 1003 " +
                num(out);
     },
     0x55},
    {"VARIANT by value before the other arguments", 12,
     [](Arguments& a, void**) {
         const Variant v = bstrVariant();
         a.addRecord(&v, sizeof v);
         a.addInt32(42);
         a.addPointer(kB);
     },
     [](void**) { return variantText(bstrVariant()) + " 42 " + num(kB); }, 0x66},
};

TEST(MethodCaller, EachShapeReceivesExactlyItsArguments) {
    Object object{kVtable};
    // Many rounds: a caller that left the stack unbalanced would not come back intact from
    // thousands of stdcall returns.
    for (int round = 0; round < 2000; ++round) {
        for (const Case& c : kCases) {
            SCOPED_TRACE(c.name);
            void* out = nullptr;
            Arguments arguments;
            c.fill(arguments, &out);
            received.clear();
            ASSERT_EQ(methodcall::callSlot(&object, c.slot, arguments, -1), c.result);
            ASSERT_EQ(received, c.expected(&out));
        }
    }
}

TEST(MethodCaller, OutValuesAndTheCallersVariantSurvive) {
    Object object{kVtable};
    Variant v = bstrVariant();
    void* out = nullptr;
    Arguments arguments;
    arguments.addPointer(kA);
    arguments.addRecord(&v, sizeof v);
    arguments.addPointer(&out);
    ASSERT_EQ(methodcall::callSlot(&object, 7, arguments, -1), 0x11);
    EXPECT_EQ(out, reinterpret_cast<void*>(0x5151));
    // The callee changed its own copy, never the caller's record.
    EXPECT_EQ(v.vt, 8);
}

TEST(MethodCaller, AnOverfullListIsRefusedWithoutACall) {
    Object object{kVtable};
    Arguments tooMany;
    for (std::size_t i = 0; i <= methodcall::kMaxWords; ++i) {
        tooMany.addInt32(1);
    }
    Arguments tooLarge;
    const unsigned char big[methodcall::kMaxRecordBytes + 1] = {};
    tooLarge.addRecord(big, sizeof big);
    for (const Arguments* a : {&tooMany, &tooLarge}) {
        received = "untouched";
        EXPECT_TRUE(a->overflowed());
        EXPECT_EQ(methodcall::callSlot(&object, 10, *a, -1), -1);
        EXPECT_EQ(received, "untouched");
    }
}

}  // namespace
