#pragma once
// Windows only: a UTF-8 path as the wide APIs take it.

#include <string>

namespace velmora::platform {

// Empty when the path cannot name a file: empty, holding a NUL, or not UTF-8.
std::wstring toWidePath(const std::string& path);

}  // namespace velmora::platform
