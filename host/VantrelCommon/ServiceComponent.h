// Service components and the host's service registry.
//
// Every component that the host runs offers the IServiceComponent operations.
// ServiceComponentBase implements the state they share (initialised flag,
// enabled flag, a copy of the configuration record). The registry maps a
// service name to a running component; clients find components with
// _getService and cast the result to the interface they expect.
#ifndef VANTREL_COMMON_SERVICECOMPONENT_H
#define VANTREL_COMMON_SERVICECOMPONENT_H

#include <VantrelCommon/ServiceConfig.h>

#include <ace/Service_Object.h>

#include <memory>
#include <string>

namespace WindowsAgentCommon {

class IServiceComponent {
 public:
  IServiceComponent() = default;
  IServiceComponent(const IServiceComponent &) = default;
  IServiceComponent &operator=(const IServiceComponent &) = default;
  virtual ~IServiceComponent() = default;

  virtual std::string GetConfigText1() const = 0;
  virtual std::string GetConfigText2() const = 0;
  virtual std::string GetConfigText3() const = 0;
  virtual std::string GetConfigText4() const = 0;
  virtual std::string GetConfigText5() const = 0;
  virtual bool InitializeService(const ServiceConfig &config) = 0;
  virtual std::string GetVersion() const = 0;
  virtual bool IsInitialized() const = 0;
  virtual bool IsEnabled() const = 0;
  virtual void Shutdown() = 0;
};

// State and operations that every component shares. Before InitializeService
// stores a configuration, the GetConfigText operations return "".
template <class Interface, class Base = ACE_Service_Object>
class ServiceComponentBase : public Base, public Interface {
 public:
  ServiceComponentBase() : bInitialized(false), bEnabled(true) {}
  ~ServiceComponentBase() override = default;

  std::string GetConfigText1() const override { return spConfig ? spConfig->ConfigText1 : std::string(); }
  std::string GetConfigText2() const override { return spConfig ? spConfig->ConfigText2 : std::string(); }
  std::string GetConfigText3() const override { return spConfig ? spConfig->ConfigText3 : std::string(); }
  std::string GetConfigText4() const override { return spConfig ? spConfig->ConfigText4 : std::string(); }
  std::string GetConfigText5() const override { return spConfig ? spConfig->ConfigText5 : std::string(); }

  // Stores a copy of the record and marks the component initialised.
  bool InitializeService(const ServiceConfig &config) override {
    spConfig = std::make_shared<ServiceConfig>(config);
    bInitialized = true;
    return true;
  }
  bool IsInitialized() const override { return bInitialized; }
  bool IsEnabled() const override { return bEnabled; }

 protected:
  bool bInitialized;
  bool bEnabled;
  std::shared_ptr<ServiceConfig> spConfig;
};

// The registry. Components are not owned: the host registers a component
// once it runs and unregisters it before destroying it. Registering a name
// again replaces the earlier component. Thread-safe.
void RegisterService(const std::string &name, IServiceComponent *component);
void UnregisterService(const std::string &name);
// The component registered under `name`, or null.
IServiceComponent *_getService(const std::string &name);

}  // namespace WindowsAgentCommon

#endif  // VANTREL_COMMON_SERVICECOMPONENT_H
