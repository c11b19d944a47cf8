// Typed reads from a settings multimap (name -> value).
//
// Every read leaves the default in `out` and returns false when the name is
// absent or its value is not a number of the requested type, or is out of its
// range ("abc", "70000" for unsigned short, "-1" for any unsigned type). Where
// a name occurs more than once, the last entry counts, as in a configuration
// file where a later line overrides an earlier one.
#ifndef VANTREL_COMMON_ENVIRONMENTBLOCKHELPER_H
#define VANTREL_COMMON_ENVIRONMENTBLOCKHELPER_H

#include <map>
#include <string>

namespace WindowsAgentCommon {

class EnvironmentBlockHelper {
 public:
  typedef std::multimap<std::string, std::string> Settings;

  // Keeps a copy of the settings.
  explicit EnvironmentBlockHelper(const Settings &settings);

  bool GetIntegerValue(const std::string &name, short &out, short defaultValue) const;
  bool GetIntegerValue(const std::string &name, unsigned short &out, unsigned short defaultValue) const;
  bool GetIntegerValue(const std::string &name, unsigned int &out, unsigned int defaultValue) const;
  bool GetIntegerValue(const std::string &name, int &out, int defaultValue) const;
  bool GetIntegerValue(const std::string &name, long &out, long defaultValue) const;
  bool GetIntegerValue(const std::string &name, unsigned long &out, unsigned long defaultValue) const;
  bool GetFloatValue(const std::string &name, double &out, double defaultValue) const;
  bool GetStringValue(const std::string &name, std::string &out, const std::string &defaultValue) const;

  // Copies into `out` every entry whose whole name matches the regular
  // expression `pattern` (ECMAScript syntax), with the name replaced by the
  // pattern's first capture group when it has one. Returns whether any entry
  // matched; an invalid pattern matches nothing.
  bool GetValuesForMatchingName(const std::string &pattern, Settings &out) const;

 private:
  const std::string *Find(const std::string &name) const;
  Settings settings;
};

}  // namespace WindowsAgentCommon

#endif  // VANTREL_COMMON_ENVIRONMENTBLOCKHELPER_H
