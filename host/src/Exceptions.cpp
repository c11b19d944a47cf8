#include <VantrelCommon/Exceptions.h>

namespace WindowsAgentCommon {

TVOException::TVOException(const std::string &source, const std::string &function, int line,
                           const std::string &message)
    : strSource(source), strFunction(function), iLine(line), strMessage(message) {
  Compose();
}

TVOException::~TVOException() = default;

const char *TVOException::what() const noexcept { return strWhat.c_str(); }

void TVOException::Compose() {
  std::string text = TypeName();
  text += " in ";
  text += strFunction.empty() ? std::string("<unknown function>") : strFunction;
  text += " (";
  text += strSource.empty() ? std::string("<unknown source>") : strSource;
  text += ':';
  text += std::to_string(iLine);
  text += ')';
  if (!strMessage.empty()) {
    text += ": ";
    text += strMessage;
  }
  strWhat.swap(text);
}

const char *TVOException::TypeName() const { return "TVOException"; }

DeviceException::DeviceException(const std::string &source, const std::string &function, int line,
                                 const std::string &message)
    : TVOException(source, function, line, message) {
  Compose();
}

const char *DeviceException::TypeName() const { return "DeviceException"; }

InterruptedException::InterruptedException(const std::string &source, const std::string &function, int line)
    : DeviceException(source, function, line) {
  Compose();
}

const char *InterruptedException::TypeName() const { return "InterruptedException"; }

UnmarshalMemoryException::UnmarshalMemoryException(const std::string &source, const std::string &function,
                                                   int line)
    : DeviceException(source, function, line) {
  Compose();
}

const char *UnmarshalMemoryException::TypeName() const { return "UnmarshalMemoryException"; }

InitializationException::InitializationException(const std::string &source, const std::string &function,
                                                 int line, const std::string &message)
    : TVOException(source, function, line, message) {
  Compose();
}

const char *InitializationException::TypeName() const { return "InitializationException"; }

ObjectDoesNotExistException::ObjectDoesNotExistException(const std::string &source, const std::string &function,
                                                         int line, const std::string &message)
    : TVOException(source, function, line, message) {
  Compose();
}

const char *ObjectDoesNotExistException::TypeName() const { return "ObjectDoesNotExistException"; }

}  // namespace WindowsAgentCommon
