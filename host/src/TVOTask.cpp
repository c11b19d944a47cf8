#include <VantrelCommon/TVOTask.h>

namespace WindowsAgentCommon {

TVOTask::TVOTask() = default;

TVOTask::~TVOTask() = default;

}  // namespace WindowsAgentCommon
