// A control message block of any length and content, read by a real
// worker: the input becomes a block of exactly its size, queued ahead of a
// quit message, and the monitor's svc runs on this thread until it ends. A
// block shorter than a message must end the worker without a report; any
// other reaches the receiver only for a check of a registered path; nothing
// may be read beyond the block (AddressSanitizer).
#include "tests/fuzz/FuzzSupport.h"

#include "monitor/FileMonitorMessage.h"
#include "monitor/statonly/FileMonitorStatOnly.h"

#include <VantrelCommon/Logger.h>

#include <ace/Message_Block.h>
#include <ace/Thread_Manager.h>

#include <cstring>
#include <fstream>
#include <set>
#include <unistd.h>

namespace {

using WindowsAgentCommon::FileMonitorMessage;

struct Receiver : WindowsAgentCommon::IFileMonitorSink {
  std::set<std::int64_t> keys;
  void OnFileChanged(const std::int64_t &key, unsigned int) override { keys.insert(key); }
};

// No pool and no timers: the only worker is the fuzzer's own thread.
struct Monitor : WindowsAgentCommon::FileMonitorStatOnly {
  Monitor() {
    usReaderThreadsMin = 0;
    thr_mgr(ACE_Thread_Manager::instance());
  }
  void JoinEnded() { pool_.JoinEnded(); }
};

Monitor *monitor = nullptr;
Receiver receiver;
std::set<std::int64_t> registered;

void Register(const std::wstring &path) {
  monitor->AddMonitor(path, &receiver, 0xFFFFFFFFu, 0, true);
  for (std::int64_t key = 0; key < 64; ++key) {
    if (monitor->GetFilename(key) == path) registered.insert(key);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  WindowsAgentCommon::LoggerFactory::SetLevel(WindowsAgentCommon::LogLevel::Off);
  monitor = new Monitor;
  char dir[] = "/tmp/vantrel-fuzz-XXXXXX";
  if (::mkdtemp(dir) == nullptr) std::abort();
  const std::string file = std::string(dir) + "/a.log";
  std::ofstream(file) << "x";
  // A short path, one that needs surrogates, one too long for the message
  // (it travels by key) and one that does not exist.
  Register(std::wstring(file.begin(), file.end()));
  Register(std::wstring(dir, dir + std::strlen(dir)) + L"/\U0001F600");
  Register(std::wstring(dir, dir + std::strlen(dir)) + L"/" + std::wstring(300, L'l'));
  Register(L"/nonexistent/b");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  auto *block = new ACE_Message_Block(size);
  block->copy(reinterpret_cast<const char *>(data), size);
  monitor->putq(block);
  monitor->putq(FileMonitorMessage(std::wstring(), nullptr, FileMonitorMessage::MONITOR_ACTION_QUIT).ToBlock());
  receiver.keys.clear();
  monitor->svc();
  std::uint32_t action = 0;
  if (size >= 12) std::memcpy(&action, data + 8, sizeof action);
  const bool check = size >= FileMonitorMessage::kImageSize && (action == 4 || action == 5);
  for (std::int64_t key : receiver.keys) {
    Expect(check && registered.count(key) == 1, "only a check of a registered path is reported",
           std::string(reinterpret_cast<const char *>(data), size), std::to_string(key));
  }
  // What is left: the quit message (passed on, or never reached).
  monitor->msg_queue()->flush();
  monitor->JoinEnded();
  return 0;
}
