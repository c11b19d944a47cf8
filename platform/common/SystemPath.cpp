// The form in which Windows takes a full path of any length. Pure text: it
// is built and checked on every system.
#include <Platform/Win32Api.h>

namespace VantrelPlatform {

namespace {

bool StartsWith(const std::wstring &text, const wchar_t *prefix) { return text.rfind(prefix, 0) == 0; }

}  // namespace

std::wstring LongPathForm(const std::wstring &fullPath) {
  if (fullPath.size() < kLongPathFrom || StartsWith(fullPath, L"\\\\?\\") || StartsWith(fullPath, L"\\\\.\\")) {
    return fullPath;
  }
  if (StartsWith(fullPath, L"\\\\")) return L"\\\\?\\UNC\\" + fullPath.substr(2);
  const bool drive = fullPath.size() >= 3 && fullPath[1] == L':' && fullPath[2] == L'\\' &&
                     ((fullPath[0] >= L'A' && fullPath[0] <= L'Z') || (fullPath[0] >= L'a' && fullPath[0] <= L'z'));
  return drive ? L"\\\\?\\" + fullPath : fullPath;
}

}  // namespace VantrelPlatform
