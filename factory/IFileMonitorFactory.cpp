#include "factory/IFileMonitorFactory.h"

namespace WindowsAgentCommon {

IFileMonitorFactory::IFileMonitorFactory() = default;
IFileMonitorFactory::IFileMonitorFactory(const IFileMonitorFactory &other) = default;
IFileMonitorFactory &IFileMonitorFactory::operator=(const IFileMonitorFactory &other) = default;
IFileMonitorFactory::~IFileMonitorFactory() = default;

}  // namespace WindowsAgentCommon
