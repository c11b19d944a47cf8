// The flags that each monitor kind gives, one check at a time, for a path
// that changes in place, is rotated as log rotators rotate, goes and comes
// back, or whose directory gains and loses entries: with replacement
// reporting off (the flags of size and write time only) and on
// (FILE_MON_CHANGE_REPLACED where another file took the path).
#include "monitor/nofsredirect/FileMonitorNoFSRedirect.h"
#include "monitor/statonly/FileMonitorStatOnly.h"
#include "support/TestSupport.h"

#include <array>
#include <cstdio>
#include <filesystem>
#include <type_traits>

using namespace WindowsAgentCommon;
using namespace VantrelTest;

namespace {

const std::int64_t kTime = 1700000000;

typedef std::function<void(const std::string &path)> Action;

// Installed at its first use, for the rest of the test's process.
FailingIdentityReads &UnreadableIdentities() {
  static FailingIdentityReads reads;
  return reads;
}

// Over an older file of the same name, as a second rotation does (Windows'
// rename refuses to replace one).
void Rename(const std::string &from, const std::string &to) {
  std::remove(to.c_str());
  ASSERT_EQ(std::rename(from.c_str(), to.c_str()), 0);
}

// The file of `size` bytes with the write time `time`, created anew.
Action RenameAndCreate(std::size_t size, std::int64_t time) {
  return [=](const std::string &path) {
    Rename(path, path + ".1");
    WriteFile(path, std::string(size, 'n'));
    SetWriteTime(path, time);
  };
}

// Grows the file at the path by a byte to the write time `time`, with its
// identity unreadable at the next read (on Windows the file went between the
// attribute read and the open).
Action GrowUnidentified(std::int64_t time) {
  return [=](const std::string &path) {
    UnreadableIdentities().failures = 1;
    AppendFile(path, "x");
    SetWriteTime(path, time);
  };
}

// Runs `change` on the directory at the path and puts its write time back.
Action KeepingTheWriteTime(Action change) {
  return [change](const std::string &path) { KeepingWriteTime(path, [&] { change(path); }); };
}

// Gives the file at the path `size` bytes and the write time `time` (+ `ns`).
Action Resize(std::size_t size, std::int64_t time, long ns = 0) {
  return [=](const std::string &path) {
    TruncateFile(path, size);
    SetWriteTime(path, time, ns);
  };
}

const unsigned int kEntries = kDir | kModified;
const unsigned int kML = kModified | kLarger;
const unsigned int kMS = kModified | kSmaller;
const Action kNothing = [](const std::string &) {};

// The same report by both kinds with the setting off and on.
std::array<unsigned int, 4> All(unsigned int flags) { return {flags, flags, flags, flags}; }

// What a step's report needs. The notification monitor learns of some
// changes by the signal alone; a check looks at the handle without waiting,
// and Wine signals it a little after the change, so the run waits for it.
// A full check falls due at once, and does not read the system's queue of
// notifications first.
enum class Needs { Nothing, Signal, FullCheck };

struct Step {
  const char *what;
  Action act;
  // Polling off, polling on, notification off, notification on.
  std::array<unsigned int, 4> expected;
  Needs needs = Needs::Nothing;
};

// The file at the path goes from it but lives on under another name, so that
// a new file at the path cannot be given its number again (Linux hands a
// freed inode number to the next new file at once, and Wine passes it on as
// the file's index), on every file system alike.
void Unlink(const std::string &path) {
  std::error_code ec;
  std::filesystem::create_hard_link(std::filesystem::u8path(path), std::filesystem::u8path(path + ".kept"), ec);
  ASSERT_FALSE(ec) << ec.message();
  RemovePath(path);
}

// What the path holds at registration; a file has 100 bytes, and it and a
// directory the write time kTime.
enum class Start { File, Directory, Missing };

struct Rotation {
  const char *name;
  Start start;
  std::vector<Step> steps;
};

const std::vector<Rotation> &Rotations() {
  static const std::vector<Rotation> rotations = {
      // The polling monitor's size before the last growth decides whether a
      // shrink is a revert: a change of the write time alone keeps it, every
      // other change moves it. The notification monitor never reverts and
      // counts the write time in whole seconds, the polling one to the
      // nanosecond.
      {"growths and shrinks in place", Start::File,
       {{"grown", Resize(180, kTime + 1), All(kML)},
        {"touched", Resize(180, kTime + 2), All(kModified)},
        {"back to the size before", Resize(100, kTime + 3), {kMS | kReverted, kMS | kReverted, kMS, kMS}},
        {"grown twice", Resize(140, kTime + 4), All(kML)},
        {"and again", Resize(180, kTime + 5), All(kML)},
        {"back to the size before the first", Resize(100, kTime + 6), All(kMS)},
        {"grown within a second", Resize(200, kTime + 6, 500000000), {kML, kML, kLarger, kLarger}},
        {"shrunk within it", Resize(50, kTime + 6, 700000000), {kMS, kMS, kSmaller, kSmaller}},
        {"touched within it", Resize(50, kTime + 6, 900000000), {kModified, kModified, 0, 0}},
        {"shrunk a second later", Resize(20, kTime + 7), All(kMS)},
        {"nothing more", kNothing, All(0)}}},
      {"rename, then a larger file", Start::File,
       {{"rotated", RenameAndCreate(200, kTime + 10), {0x0A, 0x4A, 0x0A, 0x4A}},
        {"the new file grows", [](const std::string &p) { AppendFile(p, "more"); SetWriteTime(p, kTime + 20); },
         All(0x0A)}}},
      {"rename, then a smaller file", Start::File,
       {{"rotated", RenameAndCreate(50, kTime + 10), {0x06, 0x46, 0x06, 0x46}}}},
      {"rename, then a file of equal size and write time", Start::File,
       {{"rotated", RenameAndCreate(100, kTime), {0, kReplaced, 0, kReplaced}},
        {"again, read by a full check", RenameAndCreate(100, kTime), {0, kReplaced, 0, kReplaced}, Needs::FullCheck}}},
      // An identity that could not be read is unknown: nothing is compared,
      // and the last known one stays, so that a rotation afterwards is told.
      {"grown while its identity is unknown, then rotated", Start::File,
       {{"grown", GrowUnidentified(kTime + 1), All(kML)},
        {"grown again", GrowUnidentified(kTime + 2), All(kML)},
        {"rotated",
         [](const std::string &p) {
           UnreadableIdentities().failures = 0;
           RenameAndCreate(102, kTime + 2)(p);
         },
         {0, kReplaced, 0, kReplaced}}}},
      {"copy, then truncate", Start::File,
       {{"copied and truncated",
         [](const std::string &p) {
           WriteFile(p + ".1", ReadFile(p));
           TruncateFile(p, 0);
           AppendFile(p, "after");
           SetWriteTime(p, kTime + 10);
         },
         All(0x06)}}},
      // The polling monitor announces a path missing at registration, but
      // not the return of one that it saw go, unless (on) the file is new.
      {"missing, created, deleted, created again", Start::Missing,
       {{"created", [](const std::string &p) { WriteFile(p, "x"); }, All(kCreated)},
        {"deleted", [](const std::string &p) { Unlink(p); }, All(kDeleted)},
        {"a new file", [](const std::string &p) { WriteFile(p, std::string(100, 'n')); },
         {0, kCreated, kCreated, kCreated}},
        {"renamed away", [](const std::string &p) { Rename(p, p + ".1"); }, All(kDeleted)},
        {"the same file back", [](const std::string &p) { Rename(p + ".1", p); }, {0, 0, kCreated, kCreated}}}},
      // The polling monitor absorbs a directory's first change, but nothing
      // of a new one; the notification monitor cannot open a directory to
      // learn its identity.
      {"a directory renamed and made anew", Start::Directory,
       {{"rotated", [](const std::string &p) { Rename(p, p + ".1"); MakeDir(p); },
         {0, kDir | kReplaced | kModified, kDir | kModified, kDir | kModified}},
        {"nothing more", kNothing, {kDir | kModified, 0, 0, 0}}}},
      // The polling monitor takes a directory's first change in silently and
      // reports it one check later; with the write time put back, the names
      // (polling) or the notification tell.
      {"entries of a directory come and go", Start::Directory,
       {{"an entry made", [](const std::string &p) { WriteFile(p + "/one", "1"); }, {0, 0, kEntries, kEntries},
         Needs::Signal},
        {"nothing more", kNothing, {kEntries, kEntries, 0, 0}},
        {"a directory made in it", [](const std::string &p) { MakeDir(p + "/sub"); }, All(kEntries),
         Needs::Signal},
        {"and removed", [](const std::string &p) { RemovePath(p + "/sub"); }, All(kEntries), Needs::Signal},
        {"an entry renamed", KeepingTheWriteTime([](const std::string &p) { Rename(p + "/one", p + "/two"); }),
         All(kEntries), Needs::Signal},
        {"entries made", KeepingTheWriteTime([](const std::string &p) { WriteFile(p + "/a", ""); WriteFile(p + "/b", ""); }),
         All(kEntries), Needs::Signal},
        {"a file in it grows", KeepingTheWriteTime([](const std::string &p) { AppendFile(p + "/two", "more"); }),
         All(0)}}},
      // As with files, the polling monitor does not announce the return of a
      // directory that it saw go unless (on) it is new, and takes its first
      // change in silently. The directory goes by a rename, as a removed one
      // stays under Wine while the notification monitor's handle is open.
      {"a directory appears, goes and comes back", Start::Missing,
       {{"made", [](const std::string &p) { MakeDir(p); }, All(kDir | kCreated)},
        {"renamed away", [](const std::string &p) { Rename(p, p + ".gone"); }, All(kDir | kDeleted)},
        {"gone", kNothing, All(0)},
        {"made again", [](const std::string &p) { MakeDir(p); },
         {0, kDir | kCreated, kDir | kCreated, kDir | kCreated}},
        {"an entry made in it", [](const std::string &p) { MakeDir(p + "/sub"); }, {0, 0, kEntries, kEntries},
         Needs::Signal},
        // A file in the directory's place is a file from then on.
        {"renamed away again", [](const std::string &p) { Rename(p, p + ".2"); }, All(kDir | kDeleted)},
        {"a file in its place", [](const std::string &p) { WriteFile(p, "x"); }, {0, kCreated, kCreated, kCreated}},
        {"the file grows", [](const std::string &p) { AppendFile(p, "y"); SetWriteTime(p, kTime + 20); },
         All(kML)}}},
  };
  return rotations;
}

template <class Monitor>
void RunRotation(const Rotation &rotation, bool on, int column) {
  TempDir dir;
  RecordingSink sink;
  CheckProbe<Monitor> probe(on);
  const std::string path = dir.Join("app.log");
  if (rotation.start == Start::Directory) MakeDir(path);
  if (rotation.start == Start::File) WriteFile(path, std::string(100, 'o'));
  if (rotation.start != Start::Missing) SetWriteTime(path, kTime);
  const std::wstring wide = Wide(path);
  probe.AddMonitor(wide, &sink, 1000, 0, false);
  EXPECT_EQ(probe.Check(wide), 0) << rotation.name;
  for (const Step &step : rotation.steps) {
    step.act(path);
    if constexpr (std::is_same<Monitor, FileMonitorNoFSRedirect>::value) {
      if (step.needs == Needs::Signal) {
        EXPECT_EQ(WaitForSingleObject(probe.Record(wide).hChange, 5000), WAIT_OBJECT_0) << step.what;
      }
      if (step.needs == Needs::FullCheck) probe.Record(wide).nextFullCheck = 0;
    }
    const unsigned int flags = static_cast<unsigned int>(probe.Check(wide));
    EXPECT_EQ(flags, step.expected[column])
        << rotation.name << ", " << step.what << (column < 2 ? ", polling" : ", notification")
        << (on ? ", on" : ", off");
  }
}

}  // namespace

TEST(Replacement, ChangesAndRotationsByBothKindsWithTheSettingOffAndOn) {
  for (const Rotation &rotation : Rotations()) {
    for (const bool on : {false, true}) {
      RunRotation<FileMonitorStatOnly>(rotation, on, on ? 1 : 0);
      RunRotation<FileMonitorNoFSRedirect>(rotation, on, on ? 3 : 2);
    }
  }
}
