// log_reader SECONDS PATH...: prints every change of the paths for SECONDS
// seconds. It links libVantrelMonitor directly and gets the factory from the
// library's entry point, as the agent's service host does after loading it.
#include "factory/IFileMonitorFactory.h"

#include <Platform/Win32Api.h>  // VantrelPlatform::ToUtf8 / FromUtf8

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace WindowsAgentCommon;

// Called on the monitor's worker threads, for several paths at once.
class PrintingReader : public IFileMonitorSink {
 public:
  explicit PrintingReader(IFileMonitor &monitor) : monitor(monitor) {}

  void OnFileChanged(const std::int64_t &key, unsigned int flags) override {
    const std::string path = VantrelPlatform::ToUtf8(monitor.GetFilename(key));
    std::printf("%s 0x%04X%s%s%s\n", path.c_str(), flags,
                (flags & FILE_MON_CHANGE_CREATED) ? " CREATED" : "",
                (flags & FILE_MON_CHANGE_SIZE_LARGER) ? " GREW" : "",
                (flags & FILE_MON_CHANGE_DELETED) ? " DELETED" : "");
    std::fflush(stdout);
  }

 private:
  IFileMonitor &monitor;
};

int main(int argc, char **argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s SECONDS PATH...\n", argv[0]);
    return 2;
  }
  ACE_Service_Object_Exterminator destroy = nullptr;
  ACE_Service_Object *object = _make_FileMonitorFactory(&destroy);
  auto *factory = dynamic_cast<IFileMonitorFactory *>(object);
  factory->InitializeService(ServiceConfig());

  std::shared_ptr<IFileMonitor> monitor;
  factory->GetFileMonitor("FileMonitorNoNotifications", monitor, "<Singleton>");
  PrintingReader reader(*monitor);
  std::vector<std::wstring> paths;
  for (int i = 2; i < argc; ++i) {
    paths.push_back(VantrelPlatform::FromUtf8(argv[i]));
    monitor->AddMonitor(paths.back(), &reader, 250, 0, false);
  }

  std::this_thread::sleep_for(std::chrono::seconds(std::atoi(argv[1])));

  for (const auto &path : paths) monitor->RemoveMonitor(path, &reader);
  monitor.reset();
  factory->Shutdown();
  destroy(object);
  return 0;
}
