#include <VantrelCommon/ServiceComponent.h>

#include <map>
#include <mutex>

namespace WindowsAgentCommon {

namespace {

struct Registry {
  std::mutex mtx;
  std::map<std::string, IServiceComponent *> services;
};

// Never destroyed: components unregister themselves from static destructors.
Registry &TheRegistry() {
  static Registry *registry = new Registry();
  return *registry;
}

}  // namespace

void RegisterService(const std::string &name, IServiceComponent *component) {
  if (component == nullptr) {
    UnregisterService(name);
    return;
  }
  Registry &registry = TheRegistry();
  std::lock_guard<std::mutex> lock(registry.mtx);
  registry.services[name] = component;
}

void UnregisterService(const std::string &name) {
  Registry &registry = TheRegistry();
  std::lock_guard<std::mutex> lock(registry.mtx);
  registry.services.erase(name);
}

IServiceComponent *_getService(const std::string &name) {
  Registry &registry = TheRegistry();
  std::lock_guard<std::mutex> lock(registry.mtx);
  const auto it = registry.services.find(name);
  return it != registry.services.end() ? it->second : nullptr;
}

}  // namespace WindowsAgentCommon
