// A service component's configuration record, as the host hands it to
// InitializeService.
#ifndef VANTREL_COMMON_SERVICECONFIG_H
#define VANTREL_COMMON_SERVICECONFIG_H

#include <map>
#include <string>

namespace WindowsAgentCommon {

struct ServiceConfig {
  // Five free texts whose meaning belongs to the host. The vantrel-agent host
  // fills them with: the service name, the library path, the entry point, the
  // configuration file and a description.
  std::string ConfigText1;
  std::string ConfigText2;
  std::string ConfigText3;
  std::string ConfigText4;
  std::string ConfigText5;
  // Name/value settings; a name may occur more than once.
  std::multimap<std::string, std::string> Settings;
};

}  // namespace WindowsAgentCommon

#endif  // VANTREL_COMMON_SERVICECONFIG_H
