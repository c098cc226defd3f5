// Base types, status codes and small records of the kernel-services stand-in.
#pragma once

#include <cstddef>
#include <cstdint>

using UCHAR = uint8_t;
using BOOLEAN = uint8_t;
using CHAR = char;
using CCHAR = char;
using USHORT = uint16_t;
using SHORT = int16_t;
using ULONG = uint32_t;
using LONG = int32_t;
using LONGLONG = int64_t;
using ULONGLONG = uint64_t;
using ULONG_PTR = uintptr_t;
using LONG_PTR = intptr_t;
using SIZE_T = size_t;
using PVOID = void*;
using HANDLE = void*;
using PHANDLE = HANDLE*;
using NTSTATUS = LONG;
using KIRQL = UCHAR;
using KPRIORITY = LONG;
using ACCESS_MASK = ULONG;
constexpr LONG MAXLONG = 0x7FFFFFFF;
using WCHAR = char16_t;
using PWSTR = WCHAR*;
using PCWSTR = const WCHAR*;
using BOOL = int32_t;
using DWORD = uint32_t;
using WORD = uint16_t;
using BYTE = uint8_t;
using PUCHAR = UCHAR*;
using PULONG = ULONG*;
using PLONG = LONG*;
using KPROCESSOR_MODE = CHAR;
using REFERENCE_TIME = LONGLONG;

constexpr BOOLEAN TRUE = 1;
constexpr BOOLEAN FALSE = 0;

union LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
};
using PLARGE_INTEGER = LARGE_INTEGER*;

struct GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
};
static_assert(sizeof(GUID) == 16);
inline bool operator==(const GUID& a, const GUID& b) {
    if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
    for (int i = 0; i < 8; ++i)
        if (a.Data4[i] != b.Data4[i]) return false;
    return true;
}
inline bool IsEqualGUID(const GUID& a, const GUID& b) {
    return a == b;
}

struct UNICODE_STRING {
    USHORT Length;  // bytes, without a terminator
    USHORT MaximumLength;
    PWSTR Buffer;
};
using PUNICODE_STRING = UNICODE_STRING*;
using PCUNICODE_STRING = const UNICODE_STRING*;

enum KPROCESSOR_MODE_VALUES : CHAR { KernelMode = 0, UserMode = 1 };

constexpr KIRQL PASSIVE_LEVEL = 0;
constexpr KIRQL APC_LEVEL = 1;
constexpr KIRQL DISPATCH_LEVEL = 2;

constexpr NTSTATUS MakeStatus(uint32_t v) {
    return static_cast<NTSTATUS>(v);
}
constexpr NTSTATUS STATUS_SUCCESS = 0;
constexpr NTSTATUS STATUS_TIMEOUT = 0x102;
constexpr NTSTATUS STATUS_PENDING = 0x103;
constexpr NTSTATUS STATUS_BUFFER_OVERFLOW = MakeStatus(0x80000005);
constexpr NTSTATUS STATUS_UNSUCCESSFUL = MakeStatus(0xC0000001);
constexpr NTSTATUS STATUS_INVALID_PARAMETER = MakeStatus(0xC000000D);
constexpr NTSTATUS STATUS_NO_SUCH_DEVICE = MakeStatus(0xC000000E);
constexpr NTSTATUS STATUS_INVALID_DEVICE_REQUEST = MakeStatus(0xC0000010);
constexpr NTSTATUS STATUS_MORE_PROCESSING_REQUIRED = MakeStatus(0xC0000016);
constexpr NTSTATUS STATUS_BUFFER_TOO_SMALL = MakeStatus(0xC0000023);
constexpr NTSTATUS STATUS_OBJECT_NAME_NOT_FOUND = MakeStatus(0xC0000034);
constexpr NTSTATUS STATUS_SHARING_VIOLATION = MakeStatus(0xC0000043);
constexpr NTSTATUS STATUS_INSUFFICIENT_RESOURCES = MakeStatus(0xC000009A);
constexpr NTSTATUS STATUS_DEVICE_NOT_CONNECTED = MakeStatus(0xC000009D);
constexpr NTSTATUS STATUS_DEVICE_NOT_READY = MakeStatus(0xC00000A3);
constexpr NTSTATUS STATUS_NOT_SUPPORTED = MakeStatus(0xC00000BB);
constexpr NTSTATUS STATUS_CANCELLED = MakeStatus(0xC0000120);
constexpr NTSTATUS STATUS_INVALID_DEVICE_STATE = MakeStatus(0xC0000184);
constexpr NTSTATUS STATUS_NOT_FOUND = MakeStatus(0xC0000225);
constexpr NTSTATUS STATUS_NO_MATCH = MakeStatus(0xC0000272);

constexpr bool NT_SUCCESS(NTSTATUS s) {
    return s >= 0;
}

// The system writes pool tags as four characters in memory order: "KCNw" is
// the 32-bit value 0x774E434B.
constexpr ULONG PoolTag(const char (&s)[5]) {
    return static_cast<ULONG>(static_cast<UCHAR>(s[0])) |
           static_cast<ULONG>(static_cast<UCHAR>(s[1])) << 8 |
           static_cast<ULONG>(static_cast<UCHAR>(s[2])) << 16 |
           static_cast<ULONG>(static_cast<UCHAR>(s[3])) << 24;
}
static_assert(PoolTag("KCNw") == 0x774E434B);

#define CONTAINING_RECORD(address, type, field) \
    (reinterpret_cast<type*>(reinterpret_cast<char*>(address) - offsetof(type, field)))
