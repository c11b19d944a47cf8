// The host library's exception hierarchy. Every exception carries where it
// was raised (source name, fully qualified function name, line) and, where
// there is one, a message; what() gives all of it in one readable line.
// All of them are copyable and cheap to copy.
#ifndef VANTREL_COMMON_EXCEPTIONS_H
#define VANTREL_COMMON_EXCEPTIONS_H

#include <exception>
#include <string>

namespace WindowsAgentCommon {

class TVOException : public std::exception {
 public:
  TVOException(const std::string &source, const std::string &function, int line,
               const std::string &message = std::string());
  ~TVOException() override;

  // "<Type> in <function> (<source>:<line>): <message>"
  const char *what() const noexcept override;

  const std::string &Source() const { return strSource; }
  const std::string &Function() const { return strFunction; }
  int Line() const { return iLine; }
  const std::string &Message() const { return strMessage; }

  // The class name, for example "InitializationException".
  virtual const char *TypeName() const;

 protected:
  // Builds the what() text from TypeName(). Every constructor calls it, so the
  // most derived constructor, running last, leaves its own type name.
  void Compose();

 private:
  std::string strSource;
  std::string strFunction;
  int iLine;
  std::string strMessage;
  std::string strWhat;
};

class DeviceException : public TVOException {
 public:
  DeviceException(const std::string &source, const std::string &function, int line,
                  const std::string &message = std::string());
  const char *TypeName() const override;
};

class InterruptedException : public DeviceException {
 public:
  InterruptedException(const std::string &source, const std::string &function, int line);
  const char *TypeName() const override;
};

class UnmarshalMemoryException : public DeviceException {
 public:
  UnmarshalMemoryException(const std::string &source, const std::string &function, int line);
  const char *TypeName() const override;
};

class InitializationException : public TVOException {
 public:
  InitializationException(const std::string &source, const std::string &function, int line,
                          const std::string &message);
  const char *TypeName() const override;
};

class ObjectDoesNotExistException : public TVOException {
 public:
  ObjectDoesNotExistException(const std::string &source, const std::string &function, int line,
                              const std::string &message);
  const char *TypeName() const override;
};

}  // namespace WindowsAgentCommon

#endif  // VANTREL_COMMON_EXCEPTIONS_H
