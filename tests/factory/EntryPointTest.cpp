// The real libVantrelMonitor.so, loaded the way a host loads it: through
// ACE_DLL and the entry point, in ACE's service-object factory convention.
#include "factory/IFileMonitorFactory.h"
#include "support/TestSupport.h"

#include <ace/DLL.h>

#if defined(_WIN32)
#include <Platform/Win32Api.h>
#else
#include <dlfcn.h>
#endif

using namespace WindowsAgentCommon;
using namespace VantrelTest;

// Windows keeps a DLL's symbols its own without being asked.
#ifndef RTLD_LOCAL
#define RTLD_LOCAL 0
#endif

namespace {

// The file of the module whose code or data holds `address`.
std::string ModuleOf(const void *address) {
#if defined(_WIN32)
  HMODULE module = nullptr;
  if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            static_cast<LPCWSTR>(address), &module)) {
    return std::string();
  }
  wchar_t name[MAX_PATH];
  const DWORD length = ::GetModuleFileNameW(module, name, MAX_PATH);
  return VantrelPlatform::ToUtf8(std::wstring(name, length));
#else
  Dl_info where{};
  return dladdr(address, &where) != 0 && where.dli_fname != nullptr ? where.dli_fname : "";
#endif
}

// Each call makes an idle factory of the library's own; the host reaches the
// component through a cross-cast, registers it, and a reader finds it by name.
TEST(EntryPointTest, AHostRunsTheWholeLifeThroughTheRegistry) {
  ACE_DLL dll;  // closes the library last, when nothing of it is left
  ASSERT_EQ(dll.open(VANTREL_MONITOR_LIBRARY, RTLD_NOW | RTLD_LOCAL), 0) << dll.error();
  const auto entryPoint = reinterpret_cast<FileMonitorFactoryEntryPoint>(dll.symbol(VANTREL_MONITOR_ENTRY_POINT));
  ASSERT_NE(entryPoint, nullptr);
  LogCapture logs;
  ACE_Service_Object *withoutDestroy = entryPoint(nullptr);
  ACE_Service_Object_Exterminator destroy = nullptr;
  ACE_Service_Object *object = entryPoint(&destroy);
  ASSERT_TRUE(withoutDestroy != nullptr && object != nullptr && destroy != nullptr);
  EXPECT_NE(object, withoutDestroy);
  // Its code is not the copy this test links.
  const std::string library = VANTREL_MONITOR_LIBRARY;
  const std::string module = ModuleOf(*reinterpret_cast<void **>(object));
  EXPECT_NE(module.find(library.substr(library.find_last_of("/\\") + 1)), std::string::npos) << module;
  EXPECT_FALSE(dynamic_cast<IFileMonitorFactory &>(*object).HasFileMonitorType("FileMonitorNoFSRedirect"));
  auto *component = dynamic_cast<IServiceComponent *>(object);
  ASSERT_NE(component, nullptr);
  RegisterService(IFileMonitorFactory::GetServiceName(), component);

  ASSERT_TRUE(component->InitializeService(
      ServiceConfig{"", "", "", "", "", {{"FileMonitorNoNotifications.FileMonitor.ReaderThreadsMin", "1"}}}));
  // The receiver outlives the component's Shutdown: a check already under
  // way when it is removed may still report to it until the monitor stops.
  TempDir dir;
  RecordingSink sink;
  {
    // A reader finds the factory by its name and watches a file.
    auto *factory = dynamic_cast<IFileMonitorFactory *>(_getService(IFileMonitorFactory::GetServiceName()));
    ASSERT_NE(factory, nullptr);
    EXPECT_TRUE(factory->HasFileMonitorType("FileMonitorNoFSRedirect") &&
                factory->HasFileMonitorType("FileMonitorNoNotifications"));
    std::shared_ptr<IFileMonitor> monitor;
    factory->GetFileMonitor("FileMonitorNoNotifications", monitor, "<Singleton>");
    ASSERT_TRUE(monitor);

    const std::string file = dir.Write("app.log", "one\n");
    monitor->AddMonitor(Wide(file), &sink, 50, 0, false);
    EXPECT_TRUE(WaitUntil([&] { return monitor->GetStatistics().checks > 0; }));
    AppendFile(file, "two\n");
    ASSERT_TRUE(WaitUntil([&] { return sink.AnyHas(kLarger); }));
    EXPECT_EQ(monitor->GetFilename(sink.Reports().front().key), Wide(file));
    monitor->RemoveMonitor(Wide(file), &sink);
  }
  UnregisterService(IFileMonitorFactory::GetServiceName());
  component->Shutdown();
  EXPECT_TRUE(logs.WaitForText("FileMonitorFactory shutdown"));
  destroy(nullptr);
  destroy(withoutDestroy);
  destroy(object);
}

}  // namespace
