#include "tools/json.h"

#include <cstdio>

namespace tools {

std::string JsonString(const std::string& s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char b[8];
            std::snprintf(b, sizeof b, "\\u%04x", static_cast<unsigned>(c));
            out += b;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

}  // namespace tools
