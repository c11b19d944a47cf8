#include "agent/Service.h"

#include "agent/SignalWatcher.h"

#include <Platform/Win32Api.h>

#include <fcntl.h>
#include <io.h>

#include <atomic>
#include <cstdio>
#include <iostream>

namespace VantrelAgent {

const wchar_t *const kServiceName = L"VantrelAgent";

namespace {

const wchar_t *const kDisplayName = L"Vantrel Agent";
const wchar_t *const kDescription = L"Reports changes of log files and directories (VantrelMonitor)";
const DWORD kStopWaitMillis = 30000;

int Fail(const std::string &what, DWORD error) {
  std::cerr << "vantrel-agent: " << what << ": " << VantrelPlatform::ErrorText(error) << std::endl;
  return 1;
}

std::wstring ProgramPath() {
  std::wstring buffer(32768, L'\0');
  const DWORD n = ::GetModuleFileNameW(nullptr, &buffer[0], static_cast<DWORD>(buffer.size()));
  buffer.resize(n < buffer.size() ? n : 0);
  return buffer;
}

// One argument as CommandLineToArgvW reads it back.
std::wstring Quote(const std::wstring &argument) {
  if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos) return argument;
  std::wstring quoted = L"\"";
  std::size_t backslashes = 0;
  for (const wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    quoted.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
    quoted += c;
    backslashes = 0;
  }
  quoted.append(2 * backslashes, L'\\');
  return quoted + L"\"";
}

class ServiceHandle {
 public:
  explicit ServiceHandle(SC_HANDLE handle) : h(handle) {}
  ~ServiceHandle() {
    if (h != nullptr) ::CloseServiceHandle(h);
  }
  ServiceHandle(const ServiceHandle &) = delete;
  ServiceHandle &operator=(const ServiceHandle &) = delete;
  SC_HANDLE get() const { return h; }

 private:
  SC_HANDLE h;
};

int Install(const std::vector<std::string> &arguments) {
  std::wstring command = Quote(ProgramPath()) + L" --service";
  for (std::size_t i = 2; i < arguments.size(); ++i) command += L" " + Quote(VantrelPlatform::FromUtf8(arguments[i]));
  ServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE));
  if (manager.get() == nullptr) return Fail("cannot open the service control manager", ::GetLastError());
  ServiceHandle service(::CreateServiceW(manager.get(), kServiceName, kDisplayName, SERVICE_CHANGE_CONFIG,
                                         SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                         command.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
  if (service.get() == nullptr) return Fail("cannot install the service VantrelAgent", ::GetLastError());
  SERVICE_DESCRIPTIONW description{const_cast<wchar_t *>(kDescription)};
  ::ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, &description);
  std::cout << "vantrel-agent: service VantrelAgent installed, started with the system: "
            << VantrelPlatform::ToUtf8(command) << "\n(sc start VantrelAgent starts it now)" << std::endl;
  return 0;
}

int Uninstall() {
  ServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (manager.get() == nullptr) return Fail("cannot open the service control manager", ::GetLastError());
  ServiceHandle service(::OpenServiceW(manager.get(), kServiceName, SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE));
  if (service.get() == nullptr) return Fail("cannot open the service VantrelAgent", ::GetLastError());
  SERVICE_STATUS status{};
  if (::ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) {
    for (DWORD waited = 0; status.dwCurrentState != SERVICE_STOPPED && waited < kStopWaitMillis; waited += 200) {
      ::Sleep(200);
      if (!::QueryServiceStatus(service.get(), &status)) break;
    }
    if (status.dwCurrentState != SERVICE_STOPPED) {
      std::cerr << "vantrel-agent: the service VantrelAgent did not stop within " << kStopWaitMillis / 1000
                << " s; it is removed once it has" << std::endl;
    }
  }
  if (!::DeleteService(service.get())) return Fail("cannot remove the service VantrelAgent", ::GetLastError());
  std::cout << "vantrel-agent: service VantrelAgent removed" << std::endl;
  return 0;
}

// The running service, for the dispatcher's threads.
SERVICE_STATUS_HANDLE statusHandle = nullptr;
std::vector<std::string> serviceArguments;
const std::function<int(const std::vector<std::string> &)> *serviceRun = nullptr;
std::atomic<int> serviceExit{0};

void Report(DWORD state, DWORD exitCode = NO_ERROR, DWORD waitHint = 0) {
  static DWORD checkPoint = 1;
  SERVICE_STATUS status{};
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = state;
  status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
  status.dwWin32ExitCode = exitCode == 0 ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR;
  status.dwServiceSpecificExitCode = exitCode;
  status.dwWaitHint = waitHint;
  status.dwCheckPoint = state == SERVICE_RUNNING || state == SERVICE_STOPPED ? 0 : checkPoint++;
  ::SetServiceStatus(statusHandle, &status);
}

DWORD WINAPI OnControl(DWORD control, DWORD, LPVOID, LPVOID) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
      Report(SERVICE_STOP_PENDING, NO_ERROR, kStopWaitMillis);
      RequestServiceStop();
      return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
      return NO_ERROR;
    default:
      return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

// Standard output and error appended to one file: a service has no console.
void RedirectOutput() {
  wchar_t data[MAX_PATH];
  const DWORD n = ::GetEnvironmentVariableW(L"ProgramData", data, MAX_PATH);
  const std::wstring folder = (n > 0 && n < MAX_PATH ? std::wstring(data, n) : std::wstring(L"C:\\ProgramData")) +
                              L"\\VantrelAgent";
  ::CreateDirectoryW(folder.c_str(), nullptr);
  const std::wstring log = folder + L"\\vantrel-agent.log";
  const int fd = ::_wopen(log.c_str(), _O_WRONLY | _O_APPEND | _O_CREAT | _O_BINARY, _S_IREAD | _S_IWRITE);
  if (fd < 0) return;
  ::_wfreopen(log.c_str(), L"ab", stdout);
  ::_wfreopen(log.c_str(), L"ab", stderr);
  ::_dup2(fd, 1);
  ::_dup2(fd, 2);
  ::_close(fd);
}

void WINAPI ServiceMain(DWORD, LPWSTR *) {
  statusHandle = ::RegisterServiceCtrlHandlerExW(kServiceName, &OnControl, nullptr);
  if (statusHandle == nullptr) return;
  Report(SERVICE_START_PENDING, NO_ERROR, 10000);
  RedirectOutput();
  std::wstring folder = ProgramPath();
  folder.resize(folder.find_last_of(L"\\/") == std::wstring::npos ? 0 : folder.find_last_of(L"\\/"));
  if (!folder.empty()) ::SetCurrentDirectoryW(folder.c_str());
  Report(SERVICE_RUNNING);
  serviceExit = (*serviceRun)(serviceArguments);
  // Through the descriptor, as the agent's own lines go: the stream may
  // still hold the handle it had before the output was redirected.
  const std::string line = "vantrel-agent: service VantrelAgent stopped (exit status " +
                           std::to_string(serviceExit.load()) + ")\n";
  VantrelPlatform::WriteFully(2, line.data(), line.size());
  Report(SERVICE_STOPPED, static_cast<DWORD>(serviceExit.load()));
}

int RunAsService(const std::vector<std::string> &arguments, const std::function<int(const std::vector<std::string> &)> &run) {
  serviceArguments.assign(1, arguments[0]);
  serviceArguments.insert(serviceArguments.end(), arguments.begin() + 2, arguments.end());
  serviceRun = &run;
  SERVICE_TABLE_ENTRYW table[] = {{const_cast<wchar_t *>(kServiceName), &ServiceMain}, {nullptr, nullptr}};
  if (!::StartServiceCtrlDispatcherW(table)) {
    return Fail("--service is for the service control manager (vantrel-agent --install-service installs it)",
                ::GetLastError());
  }
  return serviceExit;
}

}  // namespace

int RunServiceVerb(const std::vector<std::string> &arguments,
                   const std::function<bool(const std::vector<std::string> &)> &check,
                   const std::function<int(const std::vector<std::string> &)> &run) {
  if (arguments.size() < 2) return -1;
  const std::string &verb = arguments[1];
  std::vector<std::string> rest(1, arguments[0]);
  rest.insert(rest.end(), arguments.begin() + 2, arguments.end());
  if (verb == "--install-service") return check(rest) ? Install(arguments) : 2;
  if (verb == "--uninstall-service") {
    if (arguments.size() == 2) return Uninstall();
    std::cerr << "vantrel-agent: --uninstall-service takes no arguments" << std::endl;
    return 2;
  }
  if (verb == "--service") return RunAsService(arguments, run);
  return -1;
}

}  // namespace VantrelAgent
