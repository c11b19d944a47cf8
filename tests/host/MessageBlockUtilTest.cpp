#include <VantrelCommon/MessageBlockUtil.h>

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

// A short block throws and keeps what it holds; a longer one gives the
// first sizeof(T) bytes and keeps the rest.
TEST(MessageBlockUtil, UnmarshalCopiesAndAdvancesOrThrows) {
  ACE_Message_Block *block = nullptr;
  CreateDataMessageBlock(sizeof(Message) + 4, block);
  ASSERT_NE(nullptr, block);
  const Message in{3, {u'\u00E9', u'x'}};
  block->copy(reinterpret_cast<const char *>(&in), sizeof in);
  block->copy("rest", 4);
  Message out{};
  EXPECT_EQ(static_cast<int>(sizeof(Message)), Unmarshal(block, out));
  EXPECT_EQ(0, std::memcmp(&in, &out, sizeof in));
  EXPECT_EQ(4u, block->length());
  EXPECT_THROW(Unmarshal(block, out), UnmarshalMemoryException);
  EXPECT_EQ(4u, block->length());
  block->release();
  ACE_Message_Block *none = nullptr;
  EXPECT_THROW(Unmarshal(none, out), UnmarshalMemoryException);
}
