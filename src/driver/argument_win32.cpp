#include "driver/argument.h"

#include <cstring>
#include <limits>

#include "win32.h"

namespace rolekit {

std::wstring WidenArgument(const char* narrow) {
  const std::size_t length = std::strlen(narrow);
  if (length == 0 || length > static_cast<std::size_t>(std::numeric_limits<int>::max())) return {};
  const int narrowLength = static_cast<int>(length);
  const int wideLength = MultiByteToWideChar(CP_THREAD_ACP, 0, narrow, narrowLength, nullptr, 0);
  if (wideLength <= 0) return {};
  std::wstring wide(static_cast<std::size_t>(wideLength), L'\0');
  if (MultiByteToWideChar(CP_THREAD_ACP, 0, narrow, narrowLength, wide.data(), wideLength) != wideLength) return {};
  return wide;
}

}  // namespace rolekit
