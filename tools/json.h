// JSON text for what the tool and the viewer answer.
#pragma once

#include <string>

namespace tools {

// `s` as a JSON string, quotes included: " and \ escaped, every control
// character as \u00XX, and everything else (UTF-8 included) as it is.
std::string JsonString(const std::string& s);

}  // namespace tools
