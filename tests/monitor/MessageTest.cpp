#include "monitor/FileMonitorMessage.h"
#include "monitor/MessageBlockPool.h"

#include <VantrelCommon/MessageBlockUtil.h>

#include <gtest/gtest.h>

#include <cstring>

using namespace WindowsAgentCommon;

namespace {

// Through a block that holds 4 bytes more than the image: Unmarshal, and
// the worker's read in place alike, take the whole image and leave the rest,
// which is too short to take and stays; no block is refused too. The read
// in place finds what the copy holds.
FileMonitorMessage RoundTrip(const FileMonitorMessage &message) {
  ACE_Message_Block *image = message.ToBlock(), *block = nullptr;
  EXPECT_EQ(image->length(), FileMonitorMessage::kImageSize);
  CreateDataMessageBlock(FileMonitorMessage::kImageSize + 4, block);
  block->copy(image->rd_ptr(), image->length());
  block->copy("rest", 4);
  FileMonitorMessage out;
  std::memset(static_cast<void *>(&out), 0xAB, sizeof out);
  EXPECT_EQ(Unmarshal(block, out), 536);
  EXPECT_EQ(std::memcmp(&out, image->rd_ptr(), FileMonitorMessage::kImageSize), 0);
  image->release();
  EXPECT_EQ(block->length(), 4u);
  EXPECT_THROW(Unmarshal(block, out), UnmarshalMemoryException);
  EXPECT_THROW(FileMonitorMessage::InBlock{block}, UnmarshalMemoryException);
  EXPECT_EQ(std::string(block->rd_ptr(), block->length()), "rest");
  block->rd_ptr(block->base());
  const FileMonitorMessage::InBlock inPlace(block);
  EXPECT_EQ(block->length(), 4u);
  std::int64_t key = 0, keyInPlace = 0;
  FileMonitorMessage::PathUnits units;
  EXPECT_EQ(inPlace.Action(), out.eAction);
  EXPECT_EQ(inPlace.Path(), out.Path());
  EXPECT_EQ(inPlace.CarriesKey(), out.CarriesKey());
  EXPECT_EQ(inPlace.KeyAfterPath(keyInPlace, units), out.KeyAfterPath(key));
  EXPECT_EQ(keyInPlace, key);
  block->release();
  EXPECT_THROW(Unmarshal(nullptr, out), UnmarshalMemoryException);
  EXPECT_THROW(FileMonitorMessage::InBlock{nullptr}, UnmarshalMemoryException);
  return out;
}

// The sweep writes a record's message straight into a pooled block, which
// held another message's bytes before: the same bytes as the message's image
// through the key (through the terminator where no key follows), and what
// follows is not read. The worker's reads in place find what the message
// holds.
void ExpectWrittenDirectly(MessageBlockPool &pool, const FileMonitorMessage &message, const std::wstring &path,
                           std::int64_t key, bool travels) {
  ACE_Message_Block *used = pool.Take();
  std::memset(used->wr_ptr(), 0xAB, FileMonitorMessage::kImageSize);
  pool.Give(used);
  ACE_Message_Block *block = FileMonitorMessage::RecordBlock(path, key, travels, message.eAction, pool);
  EXPECT_EQ(block->length(), FileMonitorMessage::kImageSize);
  std::size_t units = 0;
  while (units < FileMonitorMessage::kFilenameUnits && message.szFilename[units] != 0) ++units;
  std::int64_t found = 0, foundInPlace = 0;
  const bool keyed = message.KeyAfterPath(found);
  units = std::min(FileMonitorMessage::kFilenameUnits, units + (keyed ? 6 : 1));
  EXPECT_EQ(std::memcmp(block->rd_ptr(), &message, offsetof(FileMonitorMessage, szFilename) + units * 2), 0);
  const FileMonitorMessage::InBlock inPlace(block);
  EXPECT_EQ(inPlace.Path(), message.Path());
  // The check reads its path where the message carries it, behind a key.
  FileMonitorMessage::PathUnits sent;
  EXPECT_EQ(inPlace.KeyAfterPath(foundInPlace, sent), keyed);
  EXPECT_EQ(std::make_pair(inPlace.CarriesKey(), foundInPlace), std::make_pair(message.CarriesKey(), found));
  if (keyed && !message.CarriesKey()) {
    ASSERT_NE(sent.units, nullptr);
    EXPECT_EQ(VantrelPlatform::FromUtf16(sent.units, sent.length), path);
  }
  block->release();
}

}  // namespace

// A path travels as UTF-16 through a block of exactly 536 bytes when it
// reads back unchanged; the others go by key. Length is counted in UTF-16
// units with the terminator; a code point beyond the basic plane takes two.
TEST(FileMonitorMessage, APathTravelsAsTextOnlyWhenItComesBackUnchanged) {
  const wchar_t high = static_cast<wchar_t>(0xD83D);
  const wchar_t low = static_cast<wchar_t>(0xDE00);
  std::wstring astral;  // 129 characters of two UTF-16 units each
  for (int i = 0; i < 129; ++i) astral += L"\U0001F600";
  const std::pair<std::wstring, bool> cases[] = {  // a path, and whether it travels as text
      {L"/var/log/\u00e9t\u00e9/\U0001F600.log", true},
      {std::wstring(259, L'a'), true},
      {std::wstring(260, L'a'), false},
      {astral + L"\U0001F600", false},  // 260 units
      {astral + L"a", true},
      {std::wstring{L'/', high, L'x', low}, true},  // lone surrogates
      {std::wstring(L"/a\0b", 4), false},
#if defined(_WIN32)
      // A wide string is UTF-16 itself: a pair of surrogates is carried as it is.
      {std::wstring{L'/', high, low}, true},
#else
      {L"/var/log/caf" + std::wstring(1, static_cast<wchar_t>(0xDCE9)), true},  // an escaped byte
      {std::wstring{L'/', high, low}, false},  // reads back as U+1F600
      {std::wstring{L'/', static_cast<wchar_t>(0x110000)}, false},
      {std::wstring{L'/', static_cast<wchar_t>(-1)}, false},
#endif
  };
  for (const auto &[path, asText] : cases) {
    EXPECT_EQ(FileMonitorMessage::TravelsAsText(path), asText) << path.size();
    if (asText) {
      const FileMonitorMessage out =
          RoundTrip(FileMonitorMessage(path, nullptr, FileMonitorMessage::MONITOR_ACTION_CHECK_AND_REPORT));
      EXPECT_EQ(out.eAction, FileMonitorMessage::MONITOR_ACTION_CHECK_AND_REPORT);
      EXPECT_EQ(out.Path(), path);
      EXPECT_FALSE(out.CarriesKey());
    }
  }
}

TEST(FileMonitorMessage, APathThatDoesNotFitIsNeverWrittenPastTheField) {
  struct Guarded {
    FileMonitorMessage message;
    unsigned char canary[32];
  } guarded;
  std::memset(guarded.canary, 0xAB, sizeof(guarded.canary));
  guarded.message = FileMonitorMessage(std::wstring(4000, L'y'), nullptr, FileMonitorMessage::MONITOR_ACTION_CHECK);
  for (unsigned char byte : guarded.canary) ASSERT_EQ(byte, 0xAB);
  EXPECT_TRUE(guarded.message.Path().empty());
  EXPECT_FALSE(guarded.message.CarriesKey());
}

// A record's check message carries its key behind the path's terminator when
// there is room, so that the worker finds the record without a search; the
// path itself stays what it always was.
TEST(FileMonitorMessage, ARecordsMessageCarriesItsKeyBehindThePath) {
  const std::int64_t key = 0x0102030405060708;
  MessageBlockPool pool(FileMonitorMessage::kImageSize, 1);
  const std::pair<std::wstring, bool> cases[] = {  // a path, and whether the key goes behind it
      {L"/var/log/app.log", true},
      {L"/var/log/\u00e9t\u00e9/\U0001F600.log", true},
      {std::wstring(L"/x/") + wchar_t(0xDC80) + wchar_t(0xFFFE), true},
      {std::wstring(253, L'a'), true},
      {std::wstring(254, L'a'), false},  // fits, but the key does not
      {std::wstring(259, L'a'), false},
  };
  for (const auto &[path, keyBehind] : cases) {
    SCOPED_TRACE(path.size());
    const auto message = FileMonitorMessage::ForRecord(path, key, true, FileMonitorMessage::MONITOR_ACTION_CHECK);
    ExpectWrittenDirectly(pool, message, path, key, true);
    const FileMonitorMessage out = RoundTrip(message);
    EXPECT_EQ(out.Path(), path);
    EXPECT_FALSE(out.CarriesKey());
    std::int64_t found = 0;
    EXPECT_EQ(out.KeyAfterPath(found), keyBehind);
    EXPECT_EQ(found, keyBehind ? key : 0);
  }
  // A path that does not travel as text goes by its key alone, any key.
  for (std::int64_t any : {std::int64_t{1}, std::int64_t{0x123456789ABCDEF0}, std::int64_t{-2}}) {
    const auto message = FileMonitorMessage::ForRecord(std::wstring(9, L'a'), any, false,
                                                       FileMonitorMessage::MONITOR_ACTION_CHECK_AND_REPORT);
    ExpectWrittenDirectly(pool, message, std::wstring(9, L'a'), any, false);
    const FileMonitorMessage out = RoundTrip(message);
    std::int64_t found = 0;
    EXPECT_TRUE(out.CarriesKey() && out.KeyAfterPath(found) && out.Path().empty());
    EXPECT_EQ(std::make_pair(out.Key(), found), std::make_pair(any, any));
  }
  // A message built from a path alone names no key, nor does an empty path.
  std::int64_t found = 0;
  EXPECT_FALSE(FileMonitorMessage(L"/a", nullptr, FileMonitorMessage::MONITOR_ACTION_CHECK).KeyAfterPath(found));
  EXPECT_FALSE(FileMonitorMessage(L"", nullptr, FileMonitorMessage::MONITOR_ACTION_QUIT).CarriesKey());
}

// The same for any path: lengths on either side of each step of the copy and
// of the field's edges, each with one character of another kind at its
// start, its middle or its end. The worker finds the path and the key.
TEST(FileMonitorMessage, ARecordsBlockIsItsMessagesImageForAnyPath) {
  MessageBlockPool pool(FileMonitorMessage::kImageSize, 1);
  const std::uint32_t others[] = {0x7F,    0xD7FF,  0xD800,   0xDBFF,   0xDC80,    0xDFFF,    0xFFFE,
                                  0xFFFF,  0x10000, 0x1F600,  0x10FFFF, 0x110000,  0xFFFFFFFF};
  for (std::size_t length : {1, 3, 4, 5, 7, 8, 9, 15, 16, 17, 38, 252, 253, 254, 259, 260}) {
    for (std::size_t at : {std::size_t{0}, length / 2, length - 1}) {
      for (std::uint32_t other : others) {
        std::wstring path(length, L'a');
        path[at] = static_cast<wchar_t>(other);
        SCOPED_TRACE(::testing::Message() << length << " " << at << " " << other);
        const std::int64_t key = length % 2 == 0 ? 0x0102030405060708 : -2;
        for (bool travels : {FileMonitorMessage::TravelsAsText(path), false}) {
          const auto message = FileMonitorMessage::ForRecord(path, key, travels, FileMonitorMessage::MONITOR_ACTION_CHECK);
          ExpectWrittenDirectly(pool, message, path, key, travels);
          std::int64_t found = 0;
          EXPECT_EQ(message.KeyAfterPath(found), FileMonitorMessage::KeyTravels(path, travels));
          EXPECT_EQ(found, FileMonitorMessage::KeyTravels(path, travels) ? key : 0);
          EXPECT_TRUE(!travels || message.Path() == path);
        }
      }
    }
  }
}

// The check blocks' pool keeps only blocks that nobody else holds, of its
// own size, up to its capacity, and hands each back empty; a worker gives
// back a batch's chain at once, alike.
TEST(FileMonitorMessage, TheBlockPoolKeepsOnlyUnsharedBlocksOfItsSizeUpToItsCapacity) {
  MessageBlockPool pool(FileMonitorMessage::kImageSize, 2);
  ACE_Message_Block *a = pool.Take(), *b = pool.Take(), *c = pool.Take(), *other = nullptr;
  CreateDataMessageBlock(FileMonitorMessage::kImageSize + 1, other);
  ACE_Message_Block *shared = b->duplicate();
  pool.Give(other);
  pool.Give(shared);
  EXPECT_EQ(pool.Kept(), 0u);
  CreateDataMessageBlock(FileMonitorMessage::kImageSize + 1, other);
  shared = a->duplicate();
  a->copy("x", 1);
  // The duplicate goes first, and then its original is reusable.
  other->next(shared);
  shared->next(a);
  a->next(b);
  b->next(c);
  pool.GiveAll(other, 5);
  EXPECT_EQ(pool.Kept(), 2u);
  EXPECT_EQ(pool.Take(), b);
  ACE_Message_Block *again = pool.Take();
  EXPECT_EQ(again, a);
  EXPECT_EQ(again->length(), 0u);
  EXPECT_EQ(pool.Kept(), 0u);
  pool.Settle();  // the count learns of the takes: both fit again
  for (ACE_Message_Block *block : {again, b}) pool.Give(block);
  EXPECT_EQ(pool.Kept(), 2u);
}
