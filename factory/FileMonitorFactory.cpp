#include "factory/FileMonitorFactory.h"

#include "monitor/nofsredirect/FileMonitorNoFSRedirect.h"
#include "monitor/statonly/FileMonitorStatOnly.h"

#include <VantrelCommon/EnvironmentBlockHelper.h>
#include <VantrelCommon/Exceptions.h>
#include <VantrelCommon/MessageBlockUtil.h>

#include <ace/Guard_T.h>

#include <cstdint>
#include <new>

namespace WindowsAgentCommon {

const char *const FileMonitorFactory::kTypeNoFSRedirect = "FileMonitorNoFSRedirect";
const char *const FileMonitorFactory::kTypeNoNotifications = "FileMonitorNoNotifications";
const char *const FileMonitorFactory::kSingletonInstance = "<Singleton>";
const char *const FileMonitorFactory::kKeySeparator = "::";
const char *const FileMonitorFactory::kSettingsPatternSuffix = "\\.(.*?)";
const char *const FileMonitorFactory::kLogName = "Code.FileMonitorFactory";

namespace {

const int kVersionMajor = 7;
const int kVersionMinor = 2;
const int kVersionPatch = 5;

// The identity that a monitor's log name carries too.
unsigned int LowBits(const void *object) {
  return static_cast<unsigned int>(reinterpret_cast<std::uintptr_t>(object) & 0xFFFFFFFFu);
}

}  // namespace

FileMonitorFactory::FileMonitorFactory() = default;

// Releases the cache without stopping anything itself: a monitor whose last
// reference goes here stops in its own destructor.
FileMonitorFactory::~FileMonitorFactory() = default;

bool FileMonitorFactory::InitializeService(const ServiceConfig &config) {
  if (IsInitialized()) {
    return true;
  }
  log = LoggerFactory::GetLog(kLogName);
  spConfig = std::make_shared<ServiceConfig>(config);
  for (const auto &entry : config.Settings) {
    mapSettings.insert(mapSettings.end(), entry);
  }

  std::shared_ptr<IFileMonitor> monitor;
  setKnownTypes.insert(kTypeNoFSRedirect);
  GetFileMonitor(kTypeNoFSRedirect, monitor, kSingletonInstance);
  setKnownTypes.insert(kTypeNoNotifications);
  GetFileMonitor(kTypeNoNotifications, monitor, kSingletonInstance);

  bInitialized = true;
  return true;
}

std::string FileMonitorFactory::GetVersion() const {
  std::string version;
  return Format(version, "%d.%d.%d", kVersionMajor, kVersionMinor, kVersionPatch);
}

void FileMonitorFactory::Shutdown() {
  if (!IsInitialized()) {
    return;
  }
  log.Info("FileMonitorFactory shutting down....");
  for (const auto &entry : mapMonitors) {
    entry.second->Stop();
  }
  mapMonitors.clear();
  setKnownTypes.clear();
  bInitialized = false;
  log.Info("FileMonitorFactory shutdown");
}

bool FileMonitorFactory::HasFileMonitorType(const std::string &typeName) const {
  return setKnownTypes.count(typeName) != 0;
}

void FileMonitorFactory::GetFileMonitorTypes(std::set<std::string> &names) const {
  names.clear();
  names.insert(setKnownTypes.begin(), setKnownTypes.end());
}

std::unique_ptr<FileMonitorCore> FileMonitorFactory::NewMonitor(const std::string &typeName) {
  if (typeName == kTypeNoFSRedirect) {
    return std::unique_ptr<FileMonitorCore>(new FileMonitorNoFSRedirect());
  }
  if (typeName == kTypeNoNotifications) {
    return std::unique_ptr<FileMonitorCore>(new FileMonitorStatOnly());
  }
  return nullptr;
}

void FileMonitorFactory::GetFileMonitor(const std::string &typeName, std::shared_ptr<IFileMonitor> &monitor,
                                        const std::string &instanceName) {
  if (!HasFileMonitorType(typeName)) {
    throw ObjectDoesNotExistException("FileMonitorFactory", "WindowsAgentCommon::FileMonitorFactory::GetFileMonitor",
                                      __LINE__, typeName);
  }

  // Released on every way out, the exceptions of a failed creation included.
  ACE_Guard<ACE_Recursive_Thread_Mutex> guard(mtxMonitor);

  const std::string key = typeName + kKeySeparator + instanceName;
  const auto cached = mapMonitors.find(key);
  if (cached != mapMonitors.end()) {
    monitor = cached->second;
    return;
  }

  EnvironmentBlockHelper settings(mapSettings);
  FileMonitorCore::Settings monitorSettings;
  // Until it is wrapped below, the new monitor is destroyed here if anything
  // on the way throws.
  std::unique_ptr<FileMonitorCore> created = NewMonitor(typeName);
  if (!created) {
    return;
  }
  settings.GetValuesForMatchingName(typeName + kSettingsPatternSuffix, monitorSettings);
  created->Initialize(monitorSettings);

  const unsigned int identity = LowBits(created.get());
  monitor = std::shared_ptr<IFileMonitor>(created.release(), FileMonitorCore::Deleter());
  log.Debug("Created FileMonitor %s(x%04X)", key.c_str(), identity);
  if (monitor) {
    mapMonitors.insert(std::make_pair(key, monitor));
  }
}

}  // namespace WindowsAgentCommon

namespace {

void DestroyFileMonitorFactory(void *object) {
  if (object != nullptr) {
    delete static_cast<ACE_Service_Object *>(object);
  }
}

}  // namespace

// Nothing may be thrown into the host across this C boundary: a failed
// allocation yields null.
extern "C" VANTREL_MONITOR_API ACE_Service_Object *_make_FileMonitorFactory(ACE_Service_Object_Exterminator *exterminator) {
  if (exterminator != nullptr) {
    *exterminator = &DestroyFileMonitorFactory;
  }
  try {
    return new (std::nothrow) WindowsAgentCommon::FileMonitorFactory();
  } catch (...) {
    return nullptr;
  }
}
