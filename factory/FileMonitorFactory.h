// The factory service component: the one object that the library's entry
// point hands to the host. It creates each (type, instance) monitor once,
// shares it with every client that asks for the same pair, and stops every
// monitor it created when the host shuts it down.
//
// Threads: GetFileMonitor may be called from any thread; it holds mtxMonitor
// from the cache look-up to the cache insertion, so a monitor's construction
// and Initialize happen under it. The host calls InitializeService and
// Shutdown from its own control path, never at the same time as
// GetFileMonitor; those two, like the type queries, take no lock.
#ifndef VANTREL_FACTORY_FILEMONITORFACTORY_H
#define VANTREL_FACTORY_FILEMONITORFACTORY_H

#include "factory/IFileMonitorFactory.h"
#include "monitor/FileMonitorCore.h"
#include "monitor/VantrelMonitorExport.h"

#include <VantrelCommon/Logger.h>
#include <VantrelCommon/ServiceComponent.h>

#include <ace/Recursive_Thread_Mutex.h>
#include <ace/Service_Object.h>

#include <map>
#include <memory>
#include <set>
#include <string>

namespace WindowsAgentCommon {

class FileMonitorFactory : public ServiceComponentBase<IFileMonitorFactory, ACE_Service_Object> {
 public:
  // The two monitor types. The second names the polling monitor by what it
  // lacks, not by its class (FileMonitorStatOnly).
  static const char *const kTypeNoFSRedirect;       // "FileMonitorNoFSRedirect"
  static const char *const kTypeNoNotifications;    // "FileMonitorNoNotifications"
  static const char *const kSingletonInstance;      // "<Singleton>"
  static const char *const kKeySeparator;           // "::"
  // Appended to a type name to select that type's settings; the capture is
  // the setting name that the monitor reads.
  static const char *const kSettingsPatternSuffix;  // "\\.(.*?)"
  static const char *const kLogName;                // "Code.FileMonitorFactory"

  FileMonitorFactory();
  ~FileMonitorFactory() override;
  FileMonitorFactory(const FileMonitorFactory &) = delete;
  FileMonitorFactory &operator=(const FileMonitorFactory &) = delete;

  // IServiceComponent. InitializeService creates the "<Singleton>" monitor of
  // each type; an exception from creating one propagates and leaves the
  // factory uninitialised, so that the host may try again.
  bool InitializeService(const ServiceConfig &config) override;
  std::string GetVersion() const override;
  // Stops every cached monitor in key order, on the calling thread, and
  // forgets them and the known types. Monitors that clients still hold stay
  // alive, stopped.
  void Shutdown() override;

  // IFileMonitorFactory.
  bool HasFileMonitorType(const std::string &typeName) const override;
  void GetFileMonitor(const std::string &typeName, std::shared_ptr<IFileMonitor> &monitor,
                      const std::string &instanceName) override;
  void GetFileMonitorTypes(std::set<std::string> &names) const override;

 protected:
  // Constructs the monitor of a known type, uninitialised. Called with
  // mtxMonitor held. Never returns null for the two known types.
  virtual std::unique_ptr<FileMonitorCore> NewMonitor(const std::string &typeName);

 private:
  ACE_Recursive_Thread_Mutex mtxMonitor;
  // "type::instance" to monitor; guarded by mtxMonitor inside GetFileMonitor.
  std::map<std::string, std::shared_ptr<IFileMonitor>> mapMonitors;
  std::set<std::string> setKnownTypes;
  std::multimap<std::string, std::string> mapSettings;
  Log log;
};

}  // namespace WindowsAgentCommon

#endif  // VANTREL_FACTORY_FILEMONITORFACTORY_H
