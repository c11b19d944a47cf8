#include "agent/ComponentHost.h"

#include "factory/IFileMonitorFactory.h"

#include <Platform/Win32Api.h>

#include <ace/os_include/os_dlfcn.h>

#include <filesystem>
#if !defined(_WIN32)
#include <unistd.h>
#endif

#include <exception>
#include <vector>

// Windows keeps a DLL's symbols its own without being asked.
#ifndef RTLD_LOCAL
#define RTLD_LOCAL 0
#endif

#ifndef VANTREL_AGENT_LIBRARY_RELDIR
#define VANTREL_AGENT_LIBRARY_RELDIR "../lib"
#endif

namespace VantrelAgent {

namespace {

#if defined(_WIN32)
const char *const kLibraryName = "VantrelMonitor.dll";
#elif defined(VANTREL_AGENT_LIBRARY_NAME)
// By its versioned name, as the system's loader finds a library: the link
// name libVantrelMonitor.so belongs to the development files.
const char *const kLibraryName = VANTREL_AGENT_LIBRARY_NAME;
#else
const char *const kLibraryName = "libVantrelMonitor.so";
#endif

std::string ExecutableDirectory() {
#if defined(_WIN32)
  std::vector<wchar_t> buffer(32768);
  const DWORD n = ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
  if (n == 0 || n >= buffer.size()) return ".";
  const std::string path = VantrelPlatform::ToUtf8(std::wstring(buffer.data(), n));
  const auto slash = path.find_last_of("\\/");
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
#else
  std::vector<char> buffer(4096);
  const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
  if (n <= 0) return ".";
  std::string path(buffer.data(), static_cast<std::size_t>(n));
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash == 0 ? 1 : slash);
#endif
}

bool IsFile(const std::string &path) {
  std::error_code ec;
  return std::filesystem::is_regular_file(std::filesystem::u8path(path), ec);
}

}  // namespace

std::vector<std::string> LibraryCandidates() {
  const std::string dir = ExecutableDirectory();
  return {dir + "/" + kLibraryName, dir + "/" + VANTREL_AGENT_LIBRARY_RELDIR + "/" + kLibraryName};
}

bool FindLibrary(std::string &path, std::string &error) {
  const std::vector<std::string> candidates = LibraryCandidates();
  for (const auto &candidate : candidates) {
    if (IsFile(candidate)) {
      path = candidate;
      return true;
    }
  }
  error = std::string("cannot find ") + kLibraryName + "; looked for";
  for (std::size_t i = 0; i < candidates.size(); ++i) {
    error += (i == 0 ? " " : " and ") + candidates[i];
  }
  error += " (--library FILE names it)";
  return false;
}

ComponentHost::ComponentHost()
    : dll(false), bLoaded(false), pObject(nullptr), pDestroy(nullptr), pComponent(nullptr) {}

ComponentHost::~ComponentHost() { Unload(); }

bool ComponentHost::Load(const std::string &libraryPath, const std::string &serviceName, std::string &error) {
  if (bLoaded) {
    error = "a component is already loaded";
    return false;
  }
#if defined(_WIN32)
  // ACE_DLL opens a narrow name with LoadLibraryA, in the ANSI code page,
  // which cannot hold every folder's name: the library is loaded by its
  // UTF-16 name and the handle handed to ACE_DLL, which frees it on close.
  const HMODULE module =
      ::LoadLibraryExW(VantrelPlatform::FromUtf8(libraryPath).c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  if (module == nullptr || dll.set_handle(module, false) != 0) {
    const DWORD code = ::GetLastError();
    if (module != nullptr) ::FreeLibrary(module);
    error = "cannot load " + libraryPath + ": " + VantrelPlatform::ErrorText(code);
    return false;
  }
#else
  // RTLD_NOW: a library that cannot be resolved is refused here, not at its
  // first call. RTLD_LOCAL: its symbols stay its own.
  if (dll.open(libraryPath.c_str(), RTLD_NOW | RTLD_LOCAL, false) != 0) {
    std::string reason = dll.error() != nullptr ? dll.error() : "unknown error";
    // The loader's text names the file itself, which the message already does.
    const std::string named = libraryPath + ": ";
    if (reason.compare(0, named.size(), named) == 0) reason.erase(0, named.size());
    error = "cannot load " + libraryPath + ": " + reason;
    return false;
  }
#endif
  bLoaded = true;

  void *symbol = dll.symbol(VANTREL_MONITOR_ENTRY_POINT);
  if (symbol == nullptr) {
    error = libraryPath + " has no entry point " + VANTREL_MONITOR_ENTRY_POINT;
    Unload();
    return false;
  }
  const auto entryPoint = reinterpret_cast<WindowsAgentCommon::FileMonitorFactoryEntryPoint>(symbol);
  pObject = entryPoint(&pDestroy);
  // The host sees only ACE_Service_Object and IServiceComponent: it does not
  // link the library, so it reaches the component by a cross-cast.
  pComponent = dynamic_cast<WindowsAgentCommon::IServiceComponent *>(pObject);
  if (pObject == nullptr || pDestroy == nullptr || pComponent == nullptr) {
    error = libraryPath + ": the entry point did not hand out a service component";
    Unload();
    return false;
  }
  strServiceName = serviceName;
  WindowsAgentCommon::RegisterService(strServiceName, pComponent);
  return true;
}

bool ComponentHost::Initialize(const WindowsAgentCommon::ServiceConfig &config, std::string &error) {
  if (pComponent == nullptr) {
    error = "no component is loaded";
    return false;
  }
  try {
    pComponent->InitializeService(config);
    return true;
  } catch (const std::exception &e) {
    error = e.what();
  } catch (...) {
    error = "unknown exception";
  }
  return false;
}

void ComponentHost::Unload() {
  if (!strServiceName.empty()) {
    WindowsAgentCommon::UnregisterService(strServiceName);
    strServiceName.clear();
  }
  if (pComponent != nullptr) {
    pComponent->Shutdown();
    pComponent = nullptr;
  }
  if (pObject != nullptr) {
    if (pDestroy != nullptr) {
      pDestroy(pObject);
    }
    pObject = nullptr;
  }
  pDestroy = nullptr;
  if (bLoaded) {
    dll.close();
    bLoaded = false;
  }
}

}  // namespace VantrelAgent
