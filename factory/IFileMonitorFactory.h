// The factory service component as its clients see it: a log reader finds it
// in the host's service registry under GetServiceName() and asks it for file
// monitors by a type name and an instance name.
#ifndef VANTREL_FACTORY_IFILEMONITORFACTORY_H
#define VANTREL_FACTORY_IFILEMONITORFACTORY_H

#include "monitor/IFileMonitor.h"
#include "monitor/VantrelMonitorExport.h"

#include <VantrelCommon/ServiceComponent.h>

#include <ace/Global_Macros.h>
#include <ace/Service_Object.h>

#include <memory>
#include <set>
#include <string>

namespace WindowsAgentCommon {

class VANTREL_MONITOR_API IFileMonitorFactory : public IServiceComponent {
 public:
  IFileMonitorFactory();
  IFileMonitorFactory(const IFileMonitorFactory &other);
  IFileMonitorFactory &operator=(const IFileMonitorFactory &other);
  ~IFileMonitorFactory() override;

  // "FileMonitorFactory". Defined here rather than in the library so that a
  // host which loads the library at run time, and so does not link it, can
  // register and find the component by the same name.
  static std::string GetServiceName() { return "FileMonitorFactory"; }

  // Whether `typeName` is one of the types that GetFileMonitor accepts.
  virtual bool HasFileMonitorType(const std::string &typeName) const = 0;

  // Writes the monitor of (typeName, instanceName) into `monitor`, creating,
  // initialising and caching it on first use. Throws ObjectDoesNotExistException
  // for an unknown type name (the monitor argument is then left alone), and
  // passes on whatever creating a monitor throws.
  virtual void GetFileMonitor(const std::string &typeName, std::shared_ptr<IFileMonitor> &monitor,
                              const std::string &instanceName) = 0;

  // Replaces the contents of `names` with the known type names.
  virtual void GetFileMonitorTypes(std::set<std::string> &names) const = 0;
};

// The type of the library's entry point, for hosts that look it up by name
// (VANTREL_MONITOR_ENTRY_POINT) in a library they load at run time.
typedef ACE_Service_Object *(*FileMonitorFactoryEntryPoint)(ACE_Service_Object_Exterminator *);

}  // namespace WindowsAgentCommon

#define VANTREL_MONITOR_ENTRY_POINT "_make_FileMonitorFactory"

// The entry point, exported under its plain name in ACE's service-object
// factory convention: it returns a new, idle FileMonitorFactory, which the
// host owns, and when `exterminator` is not null stores there the function
// that destroys that object (a null pointer given to it is ignored). The
// host destroys the factory with that function, never with delete, so that
// the object is freed by the library that allocated it.
#define VantrelMonitor_Export VANTREL_MONITOR_API
ACE_FACTORY_DECLARE(VantrelMonitor, FileMonitorFactory)

#endif  // VANTREL_FACTORY_IFILEMONITORFACTORY_H
