#include "monitor/IFileMonitor.h"

namespace WindowsAgentCommon {

IFileMonitor::IFileMonitor() = default;
IFileMonitor::~IFileMonitor() = default;

FileMonitorStatistics IFileMonitor::GetStatistics() const { return FileMonitorStatistics(); }

}  // namespace WindowsAgentCommon
