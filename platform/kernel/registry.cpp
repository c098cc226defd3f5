// The registry store and its export-file persistence.
#include "platform/kernel/registry.h"
#include "platform/kernel/sync.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <unordered_map>
#include <utility>

#include "platform/kernel/pool.h"

namespace kernel::registry {
namespace {

constexpr const char* kHeader = "Windows Registry Editor Version 5.00";
constexpr const char* kClassKey =
    "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\{6BDD1FC6-810F-11D0-BEC7-"
    "08002BE2092F}";

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

struct Key {
    std::string path;
    std::vector<std::string> leading;  // comment lines of the file just before the key's line
    std::vector<std::pair<std::string, Value>> values;  // in the order first written
    Value* Find(const std::string& name) {
        for (auto& [n, v] : values)
            if (Lower(n) == Lower(name)) return &v;
        return nullptr;
    }
};

// A key, and every key below it, backed by one file: loaded from it when
// bound, and saved into it (merged into the file as it is then on disk) when
// a key it covers changes. The empty prefix covers every key.
struct Binding {
    std::string prefix;  // lower case
    std::string path;
    bool broken = false;  // the file did not parse or could not be read: never written over
    std::vector<std::string>
        trailing;           // comment lines after the last key (the whole store's file only)
    bool utf16 = false;     // the file was a UTF-16 export, and is written back as one
    std::string saveError;  // the last save that failed on its own (at a key's close)
};

struct Store {
    std::recursive_mutex lock;
    std::map<std::string, Key> keys;  // by lower-case path
    std::set<std::string>
        dirtyKeys;  // lower-case paths changed since their file was loaded or saved
    std::vector<Binding> bindings;
    int failOpens = 0;
    std::unordered_map<PDEVICE_OBJECT, std::string> devices;
    int nextInstance = 0;
};

bool Covers(const std::string& prefix, const std::string& lowerPath) {
    return prefix.empty() || lowerPath == prefix ||
           (lowerPath.size() > prefix.size() && lowerPath.compare(0, prefix.size(), prefix) == 0 &&
            lowerPath[prefix.size()] == '\\');
}

Store& S() {
    static Store* s = new Store;
    return *s;
}

// The binding a key belongs to: the one with the longest prefix covering it.
Binding* BindingOf(Store& s, const std::string& lowerPath) {
    Binding* best = nullptr;
    for (auto& b : s.bindings)
        if (Covers(b.prefix, lowerPath) &&
            (best == nullptr || b.prefix.size() > best->prefix.size()))
            best = &b;
    return best;
}

bool OwnedBy(Store& s, const Binding& b, const std::string& lowerPath) {
    return BindingOf(s, lowerPath) == &b;
}

Binding* FindBinding(Store& s, const std::string& prefix) {
    for (auto& b : s.bindings)
        if (b.prefix == prefix) return &b;
    return nullptr;
}

bool Dirty(Store& s, const Binding& b) {
    for (const auto& k : s.dirtyKeys)
        if (OwnedBy(s, b, k)) return true;
    return false;
}

void SaveBinding(Store& s, Binding& b);

Key& Ensure(Store& s, const std::string& path, bool* created = nullptr) {
    auto it = s.keys.find(Lower(path));
    if (created) *created = it == s.keys.end();
    if (it != s.keys.end()) return it->second;
    Key& k = s.keys[Lower(path)];
    k.path = path;
    s.dirtyKeys.insert(Lower(path));
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
        Binding* b = BindingOf(s, Lower(path));
        if (b != nullptr && !b->broken && Dirty(s, *b)) {
            try {
                SaveBinding(s, *b);
            } catch (const std::exception& e) {
                b->saveError = e.what();  // for the caller that closes the device to report
            }
        }
    }
    PVOID Body() override { return this; }
    const char* KindName() const override { return "key"; }
    std::string path;
};

KeyObject* KeyFromHandle(HANDLE h) {
    return dynamic_cast<KeyObject*>(LookupHandle(h));
}

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

void ParseInto(std::istream& in, std::map<std::string, Key>& keys,
               std::vector<std::string>* trailing) {
    std::string line;
    int number = 0;
    Key* current = nullptr;
    bool header = false;
    std::vector<std::string> comments;
    while (std::getline(in, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (number == 1 && line.size() >= 3 && static_cast<unsigned char>(line[0]) == 0xEF)
            line = line.substr(3);
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
        // Blanks after a value are a hand edit's, never part of it.
        trimmed.erase(trimmed.find_last_not_of(" \t") + 1);
        if (trimmed.empty()) continue;
        if (trimmed[0] == ';') {  // kept, and written back before the key that follows
            comments.push_back(line);
            continue;
        }
        if (!header) {
            // The registry editor's older exports begin "REGEDIT4".
            if (trimmed != kHeader && trimmed != "REGEDIT4")
                throw ParseError(
                    start, "not a registry export: expected \"" + std::string(kHeader) + "\"");
            header = true;
            continue;
        }
        if (trimmed[0] == '[') {
            if (trimmed.back() != ']' || trimmed.size() < 3 || trimmed[1] == '-')
                throw ParseError(start, "bad key line");
            std::string path = trimmed.substr(1, trimmed.size() - 2);
            Key& k = keys[Lower(path)];
            k.path = path;
            k.leading.insert(k.leading.end(), comments.begin(), comments.end());
            comments.clear();
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
        // The type's name in any case ("DWORD:", "Hex:"), as the editor takes it.
        const std::string type = Lower(rest.substr(0, std::min(rest.find(':'), rest.size())));
        if (type == "dword" || type == "hex" || (type.rfind("hex(", 0) == 0))
            for (size_t i = 0; i < type.size(); ++i) rest[i] = type[i];
        Value v;
        if (!rest.empty() && rest[0] == '"') {
            size_t p = 0;
            std::string text = ParseQuoted(rest, p, start);
            if (p != rest.size()) throw ParseError(start, "text after the string");
            v.type = REG_SZ;
            v.data = Utf16(text);
        } else if (rest.rfind("dword:", 0) == 0) {
            std::string digits = rest.substr(6);
            if (digits.size() != 8 ||
                digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
                throw ParseError(start, "a dword needs eight hex digits");
            uint32_t x = static_cast<uint32_t>(std::stoul(digits, nullptr, 16));
            v.type = REG_DWORD;
            v.data = {static_cast<uint8_t>(x), static_cast<uint8_t>(x >> 8),
                      static_cast<uint8_t>(x >> 16), static_cast<uint8_t>(x >> 24)};
        } else if (rest.rfind("hex:", 0) == 0) {
            v.type = REG_BINARY;
            v.data = ParseHex(rest.substr(4), start);
        } else if (rest.rfind("hex(", 0) == 0) {
            size_t close = rest.find("):");
            if (close == std::string::npos) throw ParseError(start, "bad hex(type)");
            std::string digits = rest.substr(4, close - 4);
            if (digits.empty() ||
                digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
                throw ParseError(start, "bad hex(type)");
            // A value's type is 32 bits; more digits would not fit.
            if (digits.size() - std::min(digits.size() - 1, digits.find_first_not_of('0')) > 8)
                throw ParseError(start, "the type in hex(type) is larger than 32 bits");
            v.type = static_cast<ULONG>(std::stoul(digits, nullptr, 16));
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
    *trailing = std::move(comments);
}

constexpr size_t kMaxFileBytes = 1 << 20;

// A UTF-16 little-endian export (what the registry editor writes) as the
// narrow text the parser reads; characters beyond ASCII cannot occur in
// what this store holds and are refused.
std::string FromUtf16(const std::string& bytes, const std::string& path) {
    std::string out;
    for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
        unsigned c = static_cast<unsigned char>(bytes[i]) | static_cast<unsigned char>(bytes[i + 1])
                                                                << 8;
        if (c > 0x7F) throw FileError(path + ": a character beyond ASCII in a UTF-16 export");
        out += static_cast<char>(c);
    }
    return out;
}

std::string ToUtf16(const std::string& text) {
    std::string out = "\xFF\xFE";
    for (char c : text) {
        out += c;
        out += '\0';
    }
    return out;
}

// The file's bytes: none when it does not exist (an empty store); anything
// else that keeps it from being read is an error, and the file is left alone.
bool ReadSettingsFile(const std::string& path, std::string* bytes) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) return false;
        throw FileError("cannot read " + path + ": " + std::strerror(errno));
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        const bool dir = S_ISDIR(st.st_mode);
        ::close(fd);
        throw FileError(path +
                        (dir ? " is a directory, not a settings file" : " is not a regular file"));
    }
    if (static_cast<size_t>(st.st_size) > kMaxFileBytes) {
        ::close(fd);
        throw FileError(path + " is " + std::to_string(st.st_size) +
                        " bytes: too large for a settings file (1 MiB at most)");
    }
    bytes->resize(static_cast<size_t>(st.st_size));
    size_t got = 0;
    while (got < bytes->size()) {
        ssize_t n = ::read(fd, bytes->data() + got, bytes->size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            const int e = n < 0 ? errno : EIO;
            ::close(fd);
            throw FileError("cannot read " + path + ": " + std::strerror(e));
        }
        got += static_cast<size_t>(n);
    }
    ::close(fd);
    return true;
}

struct Parsed {
    std::map<std::string, Key> keys;
    std::vector<std::string> trailing;
    bool utf16 = false;
};

Parsed ParseFile(const std::string& bytes, const std::string& path) {
    Parsed p;
    p.utf16 = bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
              static_cast<unsigned char>(bytes[1]) == 0xFE;
    std::istringstream in(p.utf16 ? FromUtf16(bytes, path) : bytes);
    try {
        ParseInto(in, p.keys, &p.trailing);
    } catch (const ParseError& e) {
        throw ParseError(e.line, path + ":" + std::to_string(e.line) + ": " + e.what());
    }
    return p;
}

}  // namespace

namespace {

// The export text of these keys, as a save writes it.
std::string Export(const std::map<std::string, Key>& keys,
                   const std::vector<std::string>& trailing) {
    std::string out = std::string(kHeader) + "\r\n\r\n";
    for (auto& [lower, key] : keys) {
        for (const auto& c : key.leading) out += c + "\r\n";
        out += "[" + key.path + "]\r\n";
        for (auto& [name, v] : key.values) {
            out += name.empty() ? "@" : Quote(name);
            out += "=";
            std::string text;
            char buf[16];
            if (v.type == REG_DWORD && v.data.size() == 4) {
                uint32_t x = v.data[0] | v.data[1] << 8 | v.data[2] << 16 |
                             static_cast<uint32_t>(v.data[3]) << 24;
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
    for (const auto& c : trailing) out += c + "\r\n";
    return out;
}

// Forgets the keys a binding covers, and the binding.
void DropBinding(Store& s, const std::string& prefix) {
    for (auto it = s.keys.begin(); it != s.keys.end();)
        it = Covers(prefix, it->first) && BindingOf(s, it->first) == FindBinding(s, prefix)
                 ? s.keys.erase(it)
                 : std::next(it);
    for (auto it = s.dirtyKeys.begin(); it != s.dirtyKeys.end();)
        it = Covers(prefix, *it) && BindingOf(s, *it) == FindBinding(s, prefix)
                 ? s.dirtyKeys.erase(it)
                 : std::next(it);
    std::erase_if(s.bindings, [&](const Binding& b) { return b.prefix == prefix; });
}

// Holds an advisory lock on the settings file's folder for one save, so two
// processes never merge into the same file at once (the file itself is
// replaced by each save, so a lock on it would not hold).
class SaveLock {
  public:
    explicit SaveLock(const std::string& target) {
        const auto parent = std::filesystem::path(target).parent_path();
        fd_ = ::open(parent.empty() ? "." : parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd_ >= 0)
            while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
            }
    }
    ~SaveLock() {
        if (fd_ >= 0) ::close(fd_);
    }

  private:
    int fd_ = -1;
};

// The save writes the file as it is now on disk with the binding's changed
// keys laid over it: another process's keys, other cameras' keys, comments
// and values this process never touched stay as they are. A symbolic link is
// followed and its target replaced; the file keeps its permission bits and
// owner.
void SaveBinding(Store& s, Binding& b) {
    if (b.broken) throw std::runtime_error(b.path + " could not be read and is left as it is");
    std::error_code ec;
    const std::string target = std::filesystem::weakly_canonical(b.path, ec).string();
    const std::string path = ec ? b.path : target;
    SaveLock lock(path);
    std::string bytes;
    struct stat original {};
    const bool exists = ReadSettingsFile(path, &bytes) && ::stat(path.c_str(), &original) == 0;
    Parsed current;
    if (exists)
        current = ParseFile(bytes, path);  // a file that no longer parses is not written over
    std::vector<std::string> saved;
    for (const auto& lower : s.dirtyKeys) {
        if (!OwnedBy(s, b, lower)) continue;
        saved.push_back(lower);
        auto mine = s.keys.find(lower);
        if (mine == s.keys.end()) continue;
        Key& k = current.keys[lower];
        if (k.path.empty()) k.path = mine->second.path;
        for (auto& [name, v] : mine->second.values) {
            if (Value* there = k.Find(name))
                *there = v;
            else
                k.values.emplace_back(name, v);
        }
    }
    if (!exists) {
        current.trailing = b.trailing;
        current.utf16 = b.utf16;
        // A new file holds what the binding covers, changed or not.
        for (auto& [lower, key] : s.keys)
            if (OwnedBy(s, b, lower) && !current.keys.count(lower)) current.keys[lower] = key;
    }
    std::string text = Export(current.keys, current.trailing);
    if (current.utf16) text = ToUtf16(text);
    std::string temp = path + ".XXXXXX";
    int fd = ::mkstemp(temp.data());
    if (fd < 0) throw std::runtime_error("cannot write " + path + ": " + std::strerror(errno));
    bool ok = true;
    if (exists) {
        ok = ::fchmod(fd, original.st_mode & 07777) == 0;
        if (::fchown(fd, original.st_uid, original.st_gid) != 0 && errno != EPERM) ok = false;
    } else {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        ok = ::fchmod(fd, 0666 & ~mask) == 0;
    }
    for (size_t done = 0; ok && done < text.size();) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        if (ok) done += static_cast<size_t>(n);
    }
    ok = ok && ::fsync(fd) == 0;
    const int writeErrno = errno;
    ok = ::close(fd) == 0 && ok;
    if (!ok || std::rename(temp.c_str(), path.c_str()) != 0) {
        const int e = ok ? errno : writeErrno;
        ::unlink(temp.c_str());
        throw std::runtime_error("cannot write " + path + ": " + std::strerror(e != 0 ? e : EIO));
    }
    // What is in memory is now what the file holds for these keys.
    for (auto& [lower, key] : current.keys)
        if (OwnedBy(s, b, lower)) s.keys[lower] = key;
    b.trailing = std::move(current.trailing);
    b.utf16 = current.utf16;
    for (const auto& lower : saved) s.dirtyKeys.erase(lower);
}

}  // namespace

void Bind(const std::string& keyPath, const std::string& path) {
    Store& s = S();
    std::lock_guard<std::recursive_mutex> g(s.lock);
    const std::string prefix = Lower(keyPath);
    if (FindBinding(s, prefix) != nullptr) DropBinding(s, prefix);
    s.bindings.push_back(Binding{prefix, path});
    // Keys of other bindings below this one stay theirs.
    for (auto it = s.keys.begin(); it != s.keys.end();)
        it = OwnedBy(s, s.bindings.back(), it->first) ? s.keys.erase(it) : std::next(it);
    std::string bytes;
    try {
        if (!ReadSettingsFile(path, &bytes)) return;  // no file yet: nothing stored
        Parsed p = ParseFile(bytes, path);
        Binding& b = *FindBinding(s, prefix);
        for (auto& [lower, key] : p.keys)
            if (OwnedBy(s, b, lower)) s.keys[lower] = std::move(key);
        if (prefix.empty()) b.trailing = std::move(p.trailing);
        b.utf16 = p.utf16;
    } catch (...) {
        FindBinding(s, prefix)->broken = true;
        throw;
    }
}

void Unbind(const std::string& keyPath) {
    Store& s = S();
    std::lock_guard<std::recursive_mutex> g(s.lock);
    DropBinding(s, Lower(keyPath));
}

void SaveKey(const std::string& keyPath) {
    Store& s = S();
    std::lock_guard<std::recursive_mutex> g(s.lock);
    if (Binding* b = FindBinding(s, Lower(keyPath))) SaveBinding(s, *b);
}

std::string TakeSaveError(const std::string& keyPath) {
    Store& s = S();
    std::lock_guard<std::recursive_mutex> g(s.lock);
    Binding* b = FindBinding(s, Lower(keyPath));
    return b != nullptr ? std::exchange(b->saveError, std::string()) : std::string();
}

void Load(const std::string& path) {
    Store& s = S();
    std::lock_guard<std::recursive_mutex> g(s.lock);
    s.keys.clear();
    s.dirtyKeys.clear();
    s.bindings.clear();
    Bind("", path);
}

void Reset() {
    Store& s = S();
    std::lock_guard<std::recursive_mutex> g(s.lock);
    s.keys.clear();
    s.dirtyKeys.clear();
    s.bindings.clear();
    s.failOpens = 0;
    s.devices.clear();
    s.nextInstance = 0;
}

std::string Path() {
    Store& s = S();
    std::lock_guard<std::recursive_mutex> g(s.lock);
    Binding* b = FindBinding(s, "");
    return b != nullptr ? b->path : std::string();
}

std::string ExportText() {
    Store& s = S();
    std::lock_guard<std::recursive_mutex> g(s.lock);
    Binding* b = FindBinding(s, "");
    return Export(s.keys, b != nullptr ? b->trailing : std::vector<std::string>{});
}

void Save() {
    Store& s = S();
    std::lock_guard<std::recursive_mutex> g(s.lock);
    for (auto& b : s.bindings) SaveBinding(s, b);
    s.dirtyKeys.clear();  // keys no file backs stay in memory only
}

std::string TakeSaveError() {
    Store& s = S();
    std::lock_guard<std::recursive_mutex> g(s.lock);
    std::string all;
    for (auto& b : s.bindings)
        if (!b.saveError.empty())
            all += (all.empty() ? "" : "; ") + std::exchange(b.saveError, std::string());
    return all;
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

std::string CameraKeyPathFor(const std::string& identity) {
    return std::string(kClassKey) + "\\" + identity;
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
    s.dirtyKeys.insert(Lower(keyPath));
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
    kernel::RequireIrqlAtMost(PASSIVE_LEVEL, "IoOpenDeviceRegistryKey");
    if (device == nullptr || key == nullptr || keyType != PLUGPLAY_REGKEY_DRIVER)
        return STATUS_INVALID_PARAMETER;
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

NTSTATUS ZwCreateKey(PHANDLE key, ACCESS_MASK, OBJECT_ATTRIBUTES* a, ULONG, PUNICODE_STRING, ULONG,
                     PULONG disposition) {
    kernel::RequireIrqlAtMost(PASSIVE_LEVEL, "ZwCreateKey");
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
    if (disposition != nullptr)
        *disposition = created ? 1 : 2;  // REG_CREATED_NEW_KEY, REG_OPENED_EXISTING_KEY
    *key = kernel::CreateHandle(new KeyObject(path));
    return STATUS_SUCCESS;
}

NTSTATUS ZwQueryValueKey(HANDLE key, PUNICODE_STRING name, KEY_VALUE_INFORMATION_CLASS cls,
                         PVOID information, ULONG length, PULONG resultLength) {
    kernel::RequireIrqlAtMost(PASSIVE_LEVEL, "ZwQueryValueKey");
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

NTSTATUS ZwSetValueKey(HANDLE key, PUNICODE_STRING name, ULONG, ULONG type, PVOID data,
                       ULONG size) {
    kernel::RequireIrqlAtMost(PASSIVE_LEVEL, "ZwSetValueKey");
    KeyObject* k = KeyFromHandle(key);
    if (k == nullptr) return STATUS_INVALID_PARAMETER;
    Value v;
    v.type = type;
    v.data.assign(static_cast<uint8_t*>(data), static_cast<uint8_t*>(data) + size);
    SetValue(k->path, Narrow(name), std::move(v));
    return STATUS_SUCCESS;
}
