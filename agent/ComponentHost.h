// The service host's side of the component: loading the library with ACE's
// DLL support, calling its entry point, registering the factory in the
// host's service registry, and the orderly way back (unregister, Shutdown,
// destroy through the library's own function, unload).
//
// Not thread-safe: the agent's main thread drives it.
#ifndef VANTREL_AGENT_COMPONENTHOST_H
#define VANTREL_AGENT_COMPONENTHOST_H

#include <VantrelCommon/ServiceComponent.h>
#include <VantrelCommon/ServiceConfig.h>

#include <ace/DLL.h>
#include <ace/Service_Object.h>

#include <string>
#include <vector>

namespace VantrelAgent {

// Where the agent looks for the component when --library is not given, in
// order: the directory of the running executable, then that directory's
// relative library directory (bin/../lib in an install and in the build
// tree).
std::vector<std::string> LibraryCandidates();

// The first candidate that is a file; false with the places tried in
// `error` when none is.
bool FindLibrary(std::string &path, std::string &error);

class ComponentHost {
 public:
  ComponentHost();
  ~ComponentHost();  // Unload()
  ComponentHost(const ComponentHost &) = delete;
  ComponentHost &operator=(const ComponentHost &) = delete;

  // Loads the library, calls its entry point and registers the component
  // under `serviceName`. On failure returns false with a reason in `error`
  // and leaves nothing loaded.
  bool Load(const std::string &libraryPath, const std::string &serviceName, std::string &error);

  // InitializeService on the component; an exception becomes false and its
  // text in `error`.
  bool Initialize(const WindowsAgentCommon::ServiceConfig &config, std::string &error);

  // Unregisters the component, shuts it down, destroys it through the
  // destroy function that the entry point handed out, and unloads the
  // library. Every object that the library made must have been let go of
  // before this. Does nothing when nothing is loaded.
  void Unload();

  WindowsAgentCommon::IServiceComponent *Component() const { return pComponent; }

 private:
  ACE_DLL dll;
  bool bLoaded;
  ACE_Service_Object *pObject;
  ACE_Service_Object_Exterminator pDestroy;
  WindowsAgentCommon::IServiceComponent *pComponent;
  std::string strServiceName;
};

}  // namespace VantrelAgent

#endif  // VANTREL_AGENT_COMPONENTHOST_H
