// The registry store and its export-file persistence.
#include "platform/kernel/registry.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <unordered_map>

#include "platform/kernel/pool.h"

namespace kernel::registry {
namespace {

constexpr const char* kHeader = "Windows Registry Editor Version 5.00";
constexpr const char* kClassKey =
    "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}";

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

struct Key {
    std::string path;
    std::vector<std::pair<std::string, Value>> values;  // in the order first written
    Value* Find(const std::string& name) {
        for (auto& [n, v] : values)
            if (Lower(n) == Lower(name)) return &v;
        return nullptr;
    }
};

struct Store {
    std::recursive_mutex lock;
    std::map<std::string, Key> keys;  // by lower-case path
    std::string path;
    bool broken = false;  // the file did not parse: never written over
    bool dirty = false;
    int failOpens = 0;
    std::unordered_map<PDEVICE_OBJECT, std::string> devices;
    int nextInstance = 0;
};

Store& S() {
    static Store* s = new Store;
    return *s;
}

Key& Ensure(Store& s, const std::string& path, bool* created = nullptr) {
    auto it = s.keys.find(Lower(path));
    if (created) *created = it == s.keys.end();
    if (it != s.keys.end()) return it->second;
    Key& k = s.keys[Lower(path)];
    k.path = path;
    s.dirty = true;
    return k;
}

std::string Narrow(PCUNICODE_STRING u) {
    std::string out;
    if (u == nullptr || u->Buffer == nullptr) return out;
    for (USHORT i = 0; i < u->Length / 2; ++i) out += static_cast<char>(u->Buffer[i] & 0x7F);
    return out;
}

class KeyObject : public ObjectBase {
public:
    explicit KeyObject(std::string p) : path(std::move(p)) {}
    ~KeyObject() override {
        Store& s = S();
        std::lock_guard<std::recursive_mutex> g(s.lock);
        if (s.dirty && !s.path.empty() && !s.broken) {
            try {
                Save();
            } catch (const std::exception& e) {
                std::fprintf(stderr, "registry: %s\n", e.what());
            }
        }
    }
    PVOID Body() override { return this; }
    const char* KindName() const override { return "key"; }
    std::string path;
};

KeyObject* KeyFromHandle(HANDLE h) { return dynamic_cast<KeyObject*>(LookupHandle(h)); }

std::string Hex(const std::vector<uint8_t>& d) {
    std::string s;
    char buf[4];
    for (size_t i = 0; i < d.size(); ++i) {
        std::snprintf(buf, sizeof buf, "%02x", d[i]);
        if (i) s += ',';
        s += buf;
    }
    return s;
}

std::string Quote(const std::string& s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '\\' || c == '"') out += '\\';
        out += c;
    }
    return out + "\"";
}

// A REG_SZ as the platform holds it: UTF-16 little-endian with its terminator.
std::vector<uint8_t> Utf16(const std::string& s) {
    std::vector<uint8_t> d;
    for (char c : s) {
        d.push_back(static_cast<uint8_t>(c));
        d.push_back(0);
    }
    d.push_back(0);
    d.push_back(0);
    return d;
}

bool PlainString(const Value& v, std::string* out) {
    if (v.type != REG_SZ || v.data.size() < 2 || v.data.size() % 2 != 0) return false;
    std::string s;
    for (size_t i = 0; i + 1 < v.data.size(); i += 2) {
        if (v.data[i + 1] != 0) return false;
        if (v.data[i] == 0) return i + 2 == v.data.size() && (*out = s, true);
        if (v.data[i] < 32 || v.data[i] > 126) return false;
        s += static_cast<char>(v.data[i]);
    }
    return false;
}

std::string ParseQuoted(const std::string& line, size_t& at, int number) {
    if (at >= line.size() || line[at] != '"') throw ParseError(number, "expected '\"'");
    std::string out;
    for (++at; at < line.size(); ++at) {
        char c = line[at];
        if (c == '\\' && at + 1 < line.size()) {
            out += line[++at];
        } else if (c == '"') {
            ++at;
            return out;
        } else {
            out += c;
        }
    }
    throw ParseError(number, "unterminated string");
}

std::vector<uint8_t> ParseHex(const std::string& text, int number) {
    std::vector<uint8_t> d;
    std::string t;
    for (char c : text)
        if (!std::isspace(static_cast<unsigned char>(c))) t += c;
    if (t.empty()) return d;
    std::stringstream ss(t);
    std::string byte;
    while (std::getline(ss, byte, ',')) {
        if (byte.size() != 2 || !std::isxdigit(static_cast<unsigned char>(byte[0])) ||
            !std::isxdigit(static_cast<unsigned char>(byte[1])))
            throw ParseError(number, "bad hex byte '" + byte + "'");
        d.push_back(static_cast<uint8_t>(std::stoul(byte, nullptr, 16)));
    }
    return d;
}

void ParseInto(std::istream& in, std::map<std::string, Key>& keys) {
    std::string line;
    int number = 0;
    Key* current = nullptr;
    bool header = false;
    while (std::getline(in, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (number == 1 && line.size() >= 3 && static_cast<unsigned char>(line[0]) == 0xEF) line = line.substr(3);
        int start = number;
        while (!line.empty() && line.back() == '\\') {  // a value continued on the next line
            std::string next;
            if (!std::getline(in, next)) throw ParseError(start, "continuation at end of file");
            ++number;
            if (!next.empty() && next.back() == '\r') next.pop_back();
            line.pop_back();
            line += next;
        }
        std::string trimmed = line;
        trimmed.erase(0, trimmed.find_first_not_of(" \t"));
        if (trimmed.empty() || trimmed[0] == ';') continue;
        if (!header) {
            if (trimmed != kHeader) throw ParseError(start, "not a registry export: expected \"" + std::string(kHeader) + "\"");
            header = true;
            continue;
        }
        if (trimmed[0] == '[') {
            if (trimmed.back() != ']' || trimmed.size() < 3 || trimmed[1] == '-')
                throw ParseError(start, "bad key line");
            std::string path = trimmed.substr(1, trimmed.size() - 2);
            Key& k = keys[Lower(path)];
            k.path = path;
            current = &k;
            continue;
        }
        if (current == nullptr) throw ParseError(start, "value before any key");
        size_t at = 0;
        std::string name;
        if (trimmed[0] == '@') {
            at = 1;
        } else {
            name = ParseQuoted(trimmed, at, start);
        }
        if (at >= trimmed.size() || trimmed[at] != '=') throw ParseError(start, "expected '='");
        std::string rest = trimmed.substr(at + 1);
        Value v;
        if (!rest.empty() && rest[0] == '"') {
            size_t p = 0;
            std::string text = ParseQuoted(rest, p, start);
            if (p != rest.size()) throw ParseError(start, "text after the string");
            v.type = REG_SZ;
            v.data = Utf16(text);
        } else if (rest.rfind("dword:", 0) == 0) {
            std::string digits = rest.substr(6);
            if (digits.size() != 8 || digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
                throw ParseError(start, "a dword needs eight hex digits");
            uint32_t x = static_cast<uint32_t>(std::stoul(digits, nullptr, 16));
            v.type = REG_DWORD;
            v.data = {static_cast<uint8_t>(x), static_cast<uint8_t>(x >> 8), static_cast<uint8_t>(x >> 16),
                      static_cast<uint8_t>(x >> 24)};
        } else if (rest.rfind("hex:", 0) == 0) {
            v.type = REG_BINARY;
            v.data = ParseHex(rest.substr(4), start);
        } else if (rest.rfind("hex(", 0) == 0) {
            size_t close = rest.find("):");
            if (close == std::string::npos) throw ParseError(start, "bad hex(type)");
            std::string type = rest.substr(4, close - 4);
            if (type.empty() || type.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
                throw ParseError(start, "bad hex(type)");
            v.type = static_cast<ULONG>(std::stoul(type, nullptr, 16));
            v.data = ParseHex(rest.substr(close + 2), start);
        } else if (rest == "-") {
            throw ParseError(start, "value deletions are not supported");
        } else {
            throw ParseError(start, "unknown value form");
        }
        if (Value* existing = current->Find(name))
            *existing = v;
        else
            current->values.emplace_back(name, v);
    }
    if (!header) throw ParseError(number == 0 ? 1 : number, "empty file: not a registry export");
}

}  // namespace

void Load(const std::string& path) {
    Store& s = S();
    std::lock_guard<std::recursive_mutex> g(s.lock);
    s.keys.clear();
    s.path = path;
    s.broken = false;
    s.dirty = false;
    std::ifstream in(path, std::ios::binary);
    if (!in) return;  // no file yet: an empty store
    std::map<std::string, Key> keys;
    try {
        ParseInto(in, keys);
    } catch (const ParseError& e) {
        s.broken = true;
        throw ParseError(e.line, path + ":" + std::to_string(e.line) + ": " + e.what());
    }
    s.keys = std::move(keys);
}

void Reset() {
    Store& s = S();
    std::lock_guard<std::recursive_mutex> g(s.lock);
    s.keys.clear();
    s.path.clear();
    s.broken = false;
    s.dirty = false;
    s.failOpens = 0;
    s.devices.clear();
    s.nextInstance = 0;
}

std::string Path() {
    Store& s = S();
    std::lock_guard<std::recursive_mutex> g(s.lock);
    return s.path;
}

std::string ExportText() {
    Store& s = S();
    std::lock_guard<std::recursive_mutex> g(s.lock);
    std::string out = std::string(kHeader) + "\r\n\r\n";
    for (auto& [lower, key] : s.keys) {
        out += "[" + key.path + "]\r\n";
        for (auto& [name, v] : key.values) {
            out += name.empty() ? "@" : Quote(name);
            out += "=";
            std::string text;
            char buf[16];
            if (v.type == REG_DWORD && v.data.size() == 4) {
                uint32_t x = v.data[0] | v.data[1] << 8 | v.data[2] << 16 | static_cast<uint32_t>(v.data[3]) << 24;
                std::snprintf(buf, sizeof buf, "dword:%08x", x);
                out += buf;
            } else if (PlainString(v, &text)) {
                out += Quote(text);
            } else if (v.type == REG_BINARY) {
                out += "hex:" + Hex(v.data);
            } else {
                std::snprintf(buf, sizeof buf, "hex(%x):", v.type);
                out += buf + Hex(v.data);
            }
            out += "\r\n";
        }
        out += "\r\n";
    }
    return out;
}

void Save() {
    Store& s = S();
    std::lock_guard<std::recursive_mutex> g(s.lock);
    if (s.path.empty()) {
        s.dirty = false;
        return;
    }
    if (s.broken) throw std::runtime_error(s.path + " did not parse and is left as it is");
    std::string text = ExportText();
    std::string temp = s.path + ".tmp";
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) throw std::runtime_error("cannot write " + temp + ": " + std::strerror(errno));
    bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ok = ::fsync(fd) == 0 && ok;
    ok = ::close(fd) == 0 && ok;
    if (!ok || std::rename(temp.c_str(), s.path.c_str()) != 0) {
        std::remove(temp.c_str());
        throw std::runtime_error("cannot write " + s.path + ": " + std::strerror(errno));
    }
    s.dirty = false;
}

void SetDriverKeyPath(PDEVICE_OBJECT device, const std::string& path) {
    Store& s = S();
    std::lock_guard<std::recursive_mutex> g(s.lock);
    s.devices[device] = path;
}

std::string CameraKeyPath(int instance) {
    char text[8];
    std::snprintf(text, sizeof text, "%04d", instance);
    return std::string(kClassKey) + "\\" + text;
}

std::string DriverKeyPath(PDEVICE_OBJECT device) {
    Store& s = S();
    std::lock_guard<std::recursive_mutex> g(s.lock);
    auto it = s.devices.find(device);
    if (it != s.devices.end()) return it->second;
    return s.devices[device] = CameraKeyPath(s.nextInstance++);
}

void ForgetDevice(PDEVICE_OBJECT device) {
    Store& s = S();
    std::lock_guard<std::recursive_mutex> g(s.lock);
    s.devices.erase(device);
}

void FailOpens(int n) {
    Store& s = S();
    std::lock_guard<std::recursive_mutex> g(s.lock);
    s.failOpens = n;
}

std::map<std::string, Value> Values(const std::string& keyPath) {
    Store& s = S();
    std::lock_guard<std::recursive_mutex> g(s.lock);
    std::map<std::string, Value> out;
    auto it = s.keys.find(Lower(keyPath));
    if (it != s.keys.end())
        for (auto& [n, v] : it->second.values) out[n] = v;
    return out;
}

bool KeyExists(const std::string& keyPath) {
    Store& s = S();
    std::lock_guard<std::recursive_mutex> g(s.lock);
    return s.keys.count(Lower(keyPath)) != 0;
}

void SetValue(const std::string& keyPath, const std::string& name, Value value) {
    Store& s = S();
    std::lock_guard<std::recursive_mutex> g(s.lock);
    Key& k = Ensure(s, keyPath);
    if (Value* v = k.Find(name))
        *v = std::move(value);
    else
        k.values.emplace_back(name, std::move(value));
    s.dirty = true;
}

}  // namespace kernel::registry

using namespace kernel::registry;

void RtlInitUnicodeString(PUNICODE_STRING d, PCWSTR source) {
    size_t n = 0;
    if (source != nullptr)
        while (source[n] != 0) ++n;
    d->Buffer = const_cast<PWSTR>(source);
    d->Length = static_cast<USHORT>(n * 2);
    d->MaximumLength = static_cast<USHORT>(source != nullptr ? n * 2 + 2 : 0);
}

namespace {
bool TakeFailure() {
    Store& s = S();
    std::lock_guard<std::recursive_mutex> g(s.lock);
    if (s.failOpens <= 0) return false;
    --s.failOpens;
    return true;
}
}  // namespace

NTSTATUS IoOpenDeviceRegistryKey(PDEVICE_OBJECT device, ULONG keyType, ACCESS_MASK, PHANDLE key) {
    if (device == nullptr || key == nullptr || keyType != PLUGPLAY_REGKEY_DRIVER) return STATUS_INVALID_PARAMETER;
    if (TakeFailure()) return STATUS_INSUFFICIENT_RESOURCES;
    std::string path = DriverKeyPath(device);
    {
        Store& s = S();
        std::lock_guard<std::recursive_mutex> g(s.lock);
        Ensure(s, path);
    }
    *key = kernel::CreateHandle(new KeyObject(path));
    return STATUS_SUCCESS;
}

NTSTATUS ZwCreateKey(PHANDLE key, ACCESS_MASK, OBJECT_ATTRIBUTES* a, ULONG, PUNICODE_STRING, ULONG, PULONG disposition) {
    if (key == nullptr || a == nullptr || a->ObjectName == nullptr) return STATUS_INVALID_PARAMETER;
    if (TakeFailure()) return STATUS_INSUFFICIENT_RESOURCES;
    std::string path = Narrow(a->ObjectName);
    if (a->RootDirectory != nullptr) {
        KeyObject* root = KeyFromHandle(a->RootDirectory);
        if (root == nullptr) return STATUS_INVALID_PARAMETER;
        path = root->path + "\\" + path;
    }
    bool created = false;
    {
        Store& s = S();
        std::lock_guard<std::recursive_mutex> g(s.lock);
        Ensure(s, path, &created);
    }
    if (disposition != nullptr) *disposition = created ? 1 : 2;  // REG_CREATED_NEW_KEY, REG_OPENED_EXISTING_KEY
    *key = kernel::CreateHandle(new KeyObject(path));
    return STATUS_SUCCESS;
}

NTSTATUS ZwQueryValueKey(HANDLE key, PUNICODE_STRING name, KEY_VALUE_INFORMATION_CLASS cls, PVOID information,
                         ULONG length, PULONG resultLength) {
    KeyObject* k = KeyFromHandle(key);
    if (k == nullptr) return STATUS_INVALID_PARAMETER;
    if (cls != KeyValuePartialInformation) return STATUS_INVALID_PARAMETER;
    Store& s = S();
    std::lock_guard<std::recursive_mutex> g(s.lock);
    auto it = s.keys.find(Lower(k->path));
    Value* v = it == s.keys.end() ? nullptr : it->second.Find(Narrow(name));
    if (v == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
    const ULONG needed = KEY_VALUE_PARTIAL_INFORMATION_HEADER + static_cast<ULONG>(v->data.size());
    if (resultLength != nullptr) *resultLength = needed;
    if (length < KEY_VALUE_PARTIAL_INFORMATION_HEADER) return STATUS_BUFFER_TOO_SMALL;
    auto* info = static_cast<KEY_VALUE_PARTIAL_INFORMATION*>(information);
    info->TitleIndex = 0;
    info->Type = v->type;
    info->DataLength = static_cast<ULONG>(v->data.size());
    if (length < needed) return STATUS_BUFFER_OVERFLOW;  // the header only
    std::memcpy(info->Data, v->data.data(), v->data.size());
    return STATUS_SUCCESS;
}

NTSTATUS ZwSetValueKey(HANDLE key, PUNICODE_STRING name, ULONG, ULONG type, PVOID data, ULONG size) {
    KeyObject* k = KeyFromHandle(key);
    if (k == nullptr) return STATUS_INVALID_PARAMETER;
    Value v;
    v.type = type;
    v.data.assign(static_cast<uint8_t*>(data), static_cast<uint8_t*>(data) + size);
    SetValue(k->path, Narrow(name), std::move(v));
    return STATUS_SUCCESS;
}
