#include <VantrelCommon/Exceptions.h>

#include <gtest/gtest.h>

#include <string>

using namespace WindowsAgentCommon;

// "<type> in <function> (<source>:<line>)", and ": <message>" when there is one.
TEST(Exceptions, WhatNamesTypeFunctionSourceLineAndMessage) {
  const InitializationException e("FileMonitorNoFSRedirect.cpp", "WindowsAgentCommon::FileMonitorNoFSRedirect::AddMonitor",
                                  123, "not initialised");
  EXPECT_STREQ(
      "InitializationException in WindowsAgentCommon::FileMonitorNoFSRedirect::AddMonitor "
      "(FileMonitorNoFSRedirect.cpp:123): not initialised",
      e.what());
  EXPECT_STREQ("InterruptedException in WindowsAgentCommon::Worker::svc (Worker.cpp:7)",
               InterruptedException("Worker.cpp", "WindowsAgentCommon::Worker::svc", 7).what());
  EXPECT_STREQ("DeviceException in f (s:2): m", DeviceException("s", "f", 2, "m").what());
  EXPECT_STREQ("TVOException in <unknown function> (<unknown source>:0)", TVOException("", "", 0).what());
}

TEST(Exceptions, CopiesAndBaseReferencesKeepTheMostDerivedDescription) {
  ObjectDoesNotExistException original("Factory.cpp", "F::GetFileMonitor", 9, "unknown type \"X\"");
  const ObjectDoesNotExistException copy = original;
  EXPECT_STREQ(original.what(), copy.what());
  EXPECT_STREQ("ObjectDoesNotExistException", copy.TypeName());

  // Even a copy sliced to the base keeps the text that was composed.
  const TVOException sliced = original;
  EXPECT_NE(std::string::npos, std::string(sliced.what()).find("ObjectDoesNotExistException"));

  try {
    throw InterruptedException("a.cpp", "g", 3);
  } catch (const DeviceException &e) {
    EXPECT_STREQ("InterruptedException", e.TypeName());
  }
  try {
    throw UnmarshalMemoryException("a.cpp", "g", 4);
  } catch (const std::exception &e) {
    EXPECT_NE(std::string::npos, std::string(e.what()).find("UnmarshalMemoryException in g (a.cpp:4)"));
  }
}
