// Registry stand-in: keys and typed values in memory, persisted as a
// registry export text file (.reg, "Windows Registry Editor Version 5.00"),
// so settings can be read, edited and exchanged as people already do.
#pragma once

#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/kernel/io.h"
#include "platform/kernel/object.h"

constexpr ULONG REG_NONE = 0;
constexpr ULONG REG_SZ = 1;
constexpr ULONG REG_EXPAND_SZ = 2;
constexpr ULONG REG_BINARY = 3;
constexpr ULONG REG_DWORD = 4;
constexpr ULONG REG_MULTI_SZ = 7;
constexpr ULONG REG_QWORD = 11;

constexpr ULONG PLUGPLAY_REGKEY_DEVICE = 1;
constexpr ULONG PLUGPLAY_REGKEY_DRIVER = 2;
constexpr ACCESS_MASK READ_CONTROL = 0x00020000;
constexpr ACCESS_MASK KEY_ALL_ACCESS = 0xF003F;
constexpr ULONG OBJ_CASE_INSENSITIVE = 0x40;
constexpr ULONG OBJ_KERNEL_HANDLE = 0x200;
constexpr ULONG REG_OPTION_NON_VOLATILE = 0;

struct OBJECT_ATTRIBUTES {
    ULONG Length;
    HANDLE RootDirectory;
    PUNICODE_STRING ObjectName;
    ULONG Attributes;
    PVOID SecurityDescriptor;
    PVOID SecurityQualityOfService;
};

inline void InitializeObjectAttributes(OBJECT_ATTRIBUTES* a, PUNICODE_STRING name, ULONG attributes,
                                       HANDLE root, PVOID security) {
    a->Length = sizeof(OBJECT_ATTRIBUTES);
    a->RootDirectory = root;
    a->ObjectName = name;
    a->Attributes = attributes;
    a->SecurityDescriptor = security;
    a->SecurityQualityOfService = nullptr;
}

enum KEY_VALUE_INFORMATION_CLASS {
    KeyValueBasicInformation = 0,
    KeyValueFullInformation = 1,
    KeyValuePartialInformation = 2
};

struct KEY_VALUE_PARTIAL_INFORMATION {
    ULONG TitleIndex;
    ULONG Type;
    ULONG DataLength;
    UCHAR Data[1];
};
constexpr ULONG KEY_VALUE_PARTIAL_INFORMATION_HEADER =
    offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);

void RtlInitUnicodeString(PUNICODE_STRING destination, PCWSTR source);
NTSTATUS IoOpenDeviceRegistryKey(PDEVICE_OBJECT device, ULONG keyType, ACCESS_MASK access,
                                 PHANDLE key);
NTSTATUS ZwCreateKey(PHANDLE key, ACCESS_MASK access, OBJECT_ATTRIBUTES* attributes,
                     ULONG titleIndex, PUNICODE_STRING keyClass, ULONG createOptions,
                     PULONG disposition);
NTSTATUS ZwQueryValueKey(HANDLE key, PUNICODE_STRING name,
                         KEY_VALUE_INFORMATION_CLASS informationClass, PVOID information,
                         ULONG length, PULONG resultLength);
NTSTATUS ZwSetValueKey(HANDLE key, PUNICODE_STRING name, ULONG titleIndex, ULONG type, PVOID data,
                       ULONG size);

namespace kernel::registry {

struct Value {
    ULONG type = REG_NONE;
    std::vector<uint8_t> data;
};

// Thrown by Load for a file that does not parse: the message names the line.
struct ParseError : std::runtime_error {
    int line;
    ParseError(int l, const std::string& what) : std::runtime_error(what), line(l) {}
};

// Thrown by Load for a file that exists but cannot be read as a settings
// file (no permission, a directory, too large): it is never written over.
struct FileError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Files back keys: Bind(key, file) loads the file's values for that key and
// the keys below it (only a missing file stores nothing), and from then on
// every change to one of them is saved into that file, atomically, when the
// changed key's last handle is closed; a save there that fails is kept for
// TakeSaveError. Each camera binds its own driver key, so any number of
// cameras in one process keep their own settings, in one file or in several.
// A file that does not parse throws ParseError, one that cannot be read
// FileError; either stays bound but is never written over. Keys no binding
// covers live in memory only.
void Bind(const std::string& keyPath, const std::string& path);
// Forgets the binding and the keys it covers (saved or not); without a
// binding, the in-memory keys at and below it that no other binding covers.
void Unbind(const std::string& keyPath);
// Saves the binding of this key now (merged into its file as it is on disk);
// throws when it cannot.
void SaveKey(const std::string& keyPath);
// The error of the binding's last save made at a key's close, once; empty
// when none.
std::string TakeSaveError(const std::string& keyPath);

// The whole store bound to one file (Bind with the empty key): what a tool
// that edits settings files, not cameras, uses.
void Load(const std::string& path);
// An empty in-memory store with no binding.
void Reset();
// The file bound to the whole store, if any.
std::string Path();
// Saves every binding now; throws when one cannot be saved.
void Save();
// The errors of every binding's last save at a key's close, once.
std::string TakeSaveError();

// The driver key of a device object; by default under the camera class key,
// one instance per device object in the order they are first seen.
void SetDriverKeyPath(PDEVICE_OBJECT device, const std::string& path);
// The driver key of camera instance n under the camera class key.
std::string CameraKeyPath(int instance);
// The driver key of a camera known by a name of its own (its identity).
std::string CameraKeyPathFor(const std::string& identity);
std::string DriverKeyPath(PDEVICE_OBJECT device);
void ForgetDevice(PDEVICE_OBJECT device);

// The next n key opens or creates fail with STATUS_INSUFFICIENT_RESOURCES.
void FailOpens(int n);

// Direct access for tests and tools.
std::map<std::string, Value> Values(const std::string& keyPath);
bool KeyExists(const std::string& keyPath);
void SetValue(const std::string& keyPath, const std::string& name, Value value);

// The export text of the store, as Save writes it.
std::string ExportText();

}  // namespace kernel::registry
