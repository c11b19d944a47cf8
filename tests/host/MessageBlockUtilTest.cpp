#include <VantrelCommon/MessageBlockUtil.h>

#include <Platform/Win32Api.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

using namespace WindowsAgentCommon;

namespace {

struct Message {
  std::uint32_t action;
  char16_t name[10];
};

}  // namespace

TEST(MessageBlockUtil, DataBlockIsEmptyWithRoomForTheSize) {
  ACE_Message_Block *block = nullptr;
  CreateDataMessageBlock(536, block);
  ASSERT_NE(nullptr, block);
  EXPECT_EQ(0u, block->length());
  EXPECT_GE(block->space(), 536u);
  EXPECT_EQ(ACE_Message_Block::MB_DATA, block->msg_type());
  EXPECT_EQ(nullptr, block->locking_strategy());
  block->release();
}

TEST(MessageBlockUtil, UnmarshalCopiesAndAdvancesOrThrows) {
  ACE_Message_Block *block = nullptr;
  CreateDataMessageBlock(sizeof(Message) + 4, block);
  Message in{};
  in.action = 3;
  in.name[0] = u'\u00E9';
  block->copy(reinterpret_cast<const char *>(&in), sizeof in);
  Message out{};
  EXPECT_EQ(static_cast<int>(sizeof(Message)), Unmarshal(block, out));
  EXPECT_EQ(3u, out.action);
  EXPECT_EQ(u'\u00E9', out.name[0]);
  EXPECT_EQ(0u, block->length());
  EXPECT_THROW(Unmarshal(block, out), UnmarshalMemoryException);  // nothing left to read
  block->release();
  ACE_Message_Block *none = nullptr;
  EXPECT_THROW(Unmarshal(none, out), UnmarshalMemoryException);
}

TEST(MessageBlockUtil, ErrorTextsComeFromThePlatform) {
  std::string text;
  EXPECT_EQ(VantrelPlatform::ErrorText(ERROR_FILE_NOT_FOUND), GetLastErrorText(ERROR_FILE_NOT_FOUND, text));
  EXPECT_EQ(VantrelPlatform::ErrorText(ERROR_FILE_NOT_FOUND), text);
  EXPECT_EQ(VantrelPlatform::ErrorText(ERROR_ACCESS_DENIED), LastError(ERROR_ACCESS_DENIED));
}
