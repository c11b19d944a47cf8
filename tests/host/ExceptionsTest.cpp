#include <VantrelCommon/Exceptions.h>

#include <gtest/gtest.h>

#include <string>

using namespace WindowsAgentCommon;

// "<type> in <function> (<source>:<line>)", and ": <message>" when there is
// one. Copies, even one sliced to the base, and references to a base keep the
// most derived description.
TEST(Exceptions, WhatNamesTypeFunctionSourceLineAndMessageThroughCopiesAndBases) {
  EXPECT_STREQ("InitializationException in Monitor::AddMonitor (Monitor.cpp:123): not initialised",
               InitializationException("Monitor.cpp", "Monitor::AddMonitor", 123, "not initialised").what());
  EXPECT_STREQ("InterruptedException in WindowsAgentCommon::Worker::svc (Worker.cpp:7)",
               InterruptedException("Worker.cpp", "WindowsAgentCommon::Worker::svc", 7).what());
  EXPECT_STREQ("DeviceException in f (s:2): m", DeviceException("s", "f", 2, "m").what());
  EXPECT_STREQ("TVOException in <unknown function> (<unknown source>:0)", TVOException("", "", 0).what());

  ObjectDoesNotExistException original("Factory.cpp", "F::GetFileMonitor", 9, "unknown type \"X\"");
  const ObjectDoesNotExistException copy = original;
  EXPECT_STREQ(original.what(), copy.what());
  EXPECT_STREQ("ObjectDoesNotExistException", copy.TypeName());
  const TVOException sliced = original;
  EXPECT_NE(std::string::npos, std::string(sliced.what()).find("ObjectDoesNotExistException"));
  const DeviceException &device = InterruptedException("a.cpp", "g", 3);
  EXPECT_STREQ("InterruptedException", device.TypeName());
  const std::exception &standard = UnmarshalMemoryException("a.cpp", "g", 4);
  EXPECT_NE(std::string::npos, std::string(standard.what()).find("UnmarshalMemoryException in g (a.cpp:4)"));
}
