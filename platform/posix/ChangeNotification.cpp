// Directory change notifications on one process-wide inotify instance, and
// notifications on single files through their directory's watch.
//
// A handle is an entry in a table, never a descriptor: handles on the same
// directory share one kernel watch, counted, so tens of thousands of watched
// directories cost one file descriptor. Events are read only when a caller
// asks (WaitForSingleObject, and before watches are added or after they are
// removed); no thread of this layer runs in the background.
#include <Platform/ChangeNotificationCalls.h>
#include <Platform/TestHooks.h>
#include <Platform/Win32Api.h>

#include "Internal.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string_view>
#include <unordered_map>

using VantrelPlatform::detail::HandleKind;
using VantrelPlatform::detail::HandleSerial;
using VantrelPlatform::detail::kHandleSerialMask;
using VantrelPlatform::detail::MakeHandle;
using VantrelPlatform::detail::NativePath;
using VantrelPlatform::detail::SetError;
using VantrelPlatform::detail::SetErrorFromErrno;

namespace {

constexpr std::uint32_t kWatchMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_ONLYDIR;
// What a watch reports besides entry names once a file of its directory is
// watched: a file written, truncated, closed after writing, its times or
// attributes set, and the directory itself moved away from its path.
constexpr std::uint32_t kFileMask = IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_MOVE_SELF;
constexpr DWORD kSupportedFilter = FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME;
constexpr std::size_t kReadBufferSize = 64 * 1024;
// Bounds the time a drain holds the lock when events arrive faster than they
// are read; what is left is read by the next drain.
constexpr int kMaxReadsPerDrain = 64;
// How long the kernel's answer for the directory of the last watch stands
// for the handles that follow on it (AddWatch).
constexpr std::chrono::milliseconds kDirectoryAnswerStands{1000};
// A blocking wait re-checks its handle at least this often, since another
// thread may read the event that signals it.
constexpr int kWaitSliceMillis = 50;

// File systems whose changes made by other hosts, or by a user-space server,
// reach no inotify watch: NFS, SMB/CIFS, FUSE, Coda, AFS, 9P, Ceph, NCP,
// OCFS2, GFS2, Lustre and VirtualBox shared folders.
bool RemoteFileSystem(const struct statfs &info) {
  switch (static_cast<unsigned long>(info.f_type) & 0xFFFFFFFFul) {
    case 0x6969ul:      // NFS
    case 0x517Bul:      // SMB
    case 0xFF534D42ul:  // CIFS
    case 0xFE534D42ul:  // SMB2
    case 0x65735546ul:  // FUSE
    case 0x73757245ul:  // Coda
    case 0x5346414Ful:  // AFS
    case 0x6B414653ul:  // kAFS
    case 0x01021997ul:  // 9P
    case 0x00C36400ul:  // Ceph
    case 0x564Cul:      // NCP
    case 0x7461636Ful:  // OCFS2
    case 0x01161970ul:  // GFS2
    case 0x0BD00BD0ul:  // Lustre
    case 0x786F4256ul:  // VirtualBox shared folders
      return true;
    default:
      return false;
  }
}

// A file that a handle watches through its directory's watch: its entry
// name, and the device that holds it (0 when it cannot be seen).
struct WatchedFile {
  std::string name;
  dev_t device = 0;
};

struct ChangeHandle;

// The file handles on one watch by the hash of their entry name: open
// addressing with linear probing, at most three quarters full, each entry
// the handle's slot number (plus one; 0 is an empty entry), so that a
// watched file costs 5 to 11 bytes here. Two handles on one name are two
// entries, and two names of one hash only cost a needless check. Used under
// the notifier's lock, as the handles are.
class NameTable final {
 public:
  bool Empty() const { return count_ == 0; }
  // Room for one more entry; may throw std::bad_alloc, and then changes
  // nothing.
  void Reserve();
  // Each after Reserve, and never with a handle that is in already.
  void Insert(ChangeHandle *handle);
  void Erase(const ChangeHandle *handle);
  // Calls `visit` with every handle on the name of `hash`, or on any name.
  template <class Visit>
  void ForName(std::uint32_t hash, Visit visit) const;
  template <class Visit>
  void ForAll(Visit visit) const;

 private:
  std::size_t Home(std::size_t hash) const { return hash & (slots_.size() - 1); }
  std::size_t Next(std::size_t slot) const { return (slot + 1) & (slots_.size() - 1); }

  static ChangeHandle &At(std::uint32_t entry);
  static std::uint32_t EntryOf(const ChangeHandle *handle);

  std::vector<std::uint32_t> slots_;  // a power of two of them, or none
  std::size_t count_ = 0;
};

// One kernel watch, shared by every handle on its directory. The counters
// grow with every event, so a handle is signalled when they moved since it
// last looked.
struct Watch final {
  explicit Watch(int descriptor) : wd(descriptor) {}

  const int wd;
  std::uint64_t fileEvents = 0;  // names of non-directories created, deleted or renamed
  std::uint64_t dirEvents = 0;   // names of subdirectories created, deleted or renamed
  std::size_t handles = 0;
  NameTable names;  // the handles on single files of the directory
  // Moves with every signal of the whole watch: a file handle then cannot
  // know that its file is untouched.
  std::uint64_t lostEvents = 0;
  // The kernel dropped the watch (directory deleted, file system unmounted)
  // and may give its wd to a later watch; a dead watch is out of the table
  // and is never removed from the kernel again.
  bool dead = false;
  // IN_IGNORED events still queued for earlier watches that had this wd: the
  // first ones read belong to them.
  int staleIgnored = 0;
  // The directory handles on the watch that post to a mailbox, linked
  // through ChangeHandle::nextListener.
  ChangeHandle *listeners = nullptr;
  // Whether the directory's file system notifies every change of its files
  // (-1 until a file's handle asks), and the device that holds it: asked
  // once a watch, since the watched directory stays where it is.
  int trusted = -1;
  dev_t device = 0;

  // Whether the changes of `file` reach this watch: its directory's file
  // system notifies every change, and the file is on it. A file on another
  // device is a mount of its own (a bind-mounted file), whose events go to
  // its source's directory, never to this watch.
  bool Trusts(const char *directory, const WatchedFile &file) {
    if (trusted < 0) {
      struct stat held;
      struct statfs type;
      const bool known = ::stat(directory, &held) == 0 && ::statfs(directory, &type) == 0;
      device = known ? held.st_dev : 0;
      trusted = known && !RemoteFileSystem(type) ? 1 : 0;
    }
    return trusted == 1 && (file.device == 0 || file.device == device);
  }
};

// A handle on a directory's entry names (filter set), or on one file of the
// directory (filter 0, `name` the hash of its entry name). It lives in a
// slot of the notifier's table, which never moves, so the lists of
// listeners link handles by address. A watched file costs this slot and its
// name's entry in the watch; the fields are laid out for a slot of 48 bytes.
struct ChangeHandle final {
  Watch *watch = nullptr;
  // Where a change is posted, and under what; `posted` while the mailbox
  // holds the handle's serial. The notifier keeps the mailbox alive while a
  // handle names it. A directory's handle that posts is listed on its watch.
  VantrelPlatform::ChangeMailbox *mailbox = nullptr;
  std::uint64_t cookie = 0;
  // What the handle saw when it was last armed, in the counts' low 32 bits:
  // a directory's counts of file and of directory names; a file's count of
  // the watch's lost events (the first is unused). A count that moved by a
  // whole multiple of 2^32 between two looks would go unseen: far beyond
  // what a watch gets between two checks of its handles.
  std::uint32_t seen[2] = {0, 0};
  union {
    // A directory's handle: the next listener of its watch. A free slot:
    // the place of the next free slot (HandleSlots).
    ChangeHandle *nextListener = nullptr;
    std::uint32_t name;  // a file's: the hash of its entry name
  };
  // The slot's place and how often it has been handed out: the two make the
  // handle's serial, so that a closed handle's value names nothing.
  std::uint32_t index = 0;
  std::uint32_t generation : 26;
  std::uint32_t posted : 1;
  std::uint32_t inUse : 1;
  std::uint32_t fired : 1;   // a file's: an event named it since it was armed
  std::uint32_t filter : 2;  // FILE_NOTIFY_CHANGE_FILE_NAME, _DIR_NAME; 0 for a file

  ChangeHandle() : generation(0), posted(false), inUse(false), fired(false), filter(0) {}

  bool ForFile() const { return filter == 0; }
  std::uintptr_t Serial() const {
    return (static_cast<std::uintptr_t>(generation) << 32) | (static_cast<std::uintptr_t>(index) + 1);
  }
  bool Signalled() const {
    if (ForFile()) {
      return fired || Low(watch->lostEvents) != seen[1];
    }
    return ((filter & FILE_NOTIFY_CHANGE_FILE_NAME) != 0 && Low(watch->fileEvents) != seen[0]) ||
           ((filter & FILE_NOTIFY_CHANGE_DIR_NAME) != 0 && Low(watch->dirEvents) != seen[1]);
  }
  void Rearm() {
    fired = false;
    seen[0] = ForFile() ? 0 : Low(watch->fileEvents);
    seen[1] = Low(ForFile() ? watch->lostEvents : watch->dirEvents);
  }

 private:
  static std::uint32_t Low(std::uint64_t count) { return static_cast<std::uint32_t>(count); }
};
static_assert(kSupportedFilter >> 2 == 0, "a filter fits its field");

void NameTable::Reserve() {
  if ((count_ + 1) * 4 <= slots_.size() * 3) {
    return;
  }
  std::vector<std::uint32_t> old(std::max<std::size_t>(8, slots_.size() * 2), 0);
  old.swap(slots_);
  for (const std::uint32_t entry : old) {
    if (entry != 0) {
      std::size_t slot = Home(At(entry).name);
      while (slots_[slot] != 0) {
        slot = Next(slot);
      }
      slots_[slot] = entry;
    }
  }
}

void NameTable::Insert(ChangeHandle *handle) {
  std::size_t slot = Home(handle->name);
  while (slots_[slot] != 0) {
    slot = Next(slot);
  }
  slots_[slot] = EntryOf(handle);
  ++count_;
}

// Backward-shift deletion: every entry after the gap, up to the next empty
// slot, moves into the gap unless its home lies between the gap and itself,
// so that no probe ever stops short of an entry.
void NameTable::Erase(const ChangeHandle *handle) {
  if (slots_.empty()) {
    return;
  }
  const std::uint32_t entry = EntryOf(handle);
  std::size_t gap = Home(handle->name);
  for (std::size_t probes = 0; slots_[gap] != entry; gap = Next(gap)) {
    if (slots_[gap] == 0 || ++probes == slots_.size()) {
      return;  // not in
    }
  }
  for (std::size_t at = Next(gap); slots_[at] != 0; at = Next(at)) {
    const std::size_t home = Home(At(slots_[at]).name);
    const bool stays = gap <= at ? gap < home && home <= at : gap < home || home <= at;
    if (!stays) {
      slots_[gap] = slots_[at];
      gap = at;
    }
  }
  slots_[gap] = 0;
  --count_;
}

template <class Visit>
void NameTable::ForName(std::uint32_t hash, Visit visit) const {
  if (slots_.empty()) {
    return;
  }
  for (std::size_t slot = Home(hash); slots_[slot] != 0; slot = Next(slot)) {
    ChangeHandle &handle = At(slots_[slot]);
    if (handle.name == hash) {
      visit(handle);
    }
  }
}

template <class Visit>
void NameTable::ForAll(Visit visit) const {
  for (const std::uint32_t entry : slots_) {
    if (entry != 0) {
      visit(At(entry));
    }
  }
}

std::uint32_t NameTable::EntryOf(const ChangeHandle *handle) { return handle->index + 1; }

// The handles, in chunks that never move, and the slots free for reuse,
// linked through their own nextListener.
class HandleSlots final {
 public:
  // A free slot, marked in use with its generation moved on; may throw
  // std::bad_alloc, and then changes nothing.
  ChangeHandle &Acquire() {
    std::uint32_t index = used_;
    if (free_ != nullptr) {
      index = free_->index;
      free_ = free_->nextListener;
    } else {
      if (used_ == chunks_.size() * kChunk) {
        std::unique_ptr<ChangeHandle[]> chunk(new ChangeHandle[kChunk]);
        chunks_.push_back(std::move(chunk));
      }
      ++used_;
    }
    ChangeHandle &slot = At(index);
    const std::uint32_t generation = (slot.generation + 1) & kGenerationMask;
    slot = ChangeHandle();
    slot.index = index;
    slot.generation = generation;
    slot.inUse = true;
    ++count_;
    return slot;
  }
  void Release(ChangeHandle &slot) {
    const std::uint32_t index = slot.index, generation = slot.generation;
    slot = ChangeHandle();
    slot.index = index;
    slot.generation = generation;
    slot.nextListener = free_;
    free_ = &slot;
    --count_;
  }
  // The handle in use under `serial`, or null.
  ChangeHandle *Find(std::uintptr_t serial) {
    const std::uintptr_t place = serial & 0xFFFFFFFFu;
    if (place == 0 || place > used_) {
      return nullptr;
    }
    ChangeHandle &slot = At(static_cast<std::uint32_t>(place - 1));
    return slot.inUse && slot.Serial() == serial ? &slot : nullptr;
  }
  std::size_t Count() const { return count_; }
  ChangeHandle &At(std::uint32_t index) { return chunks_[index / kChunk][index % kChunk]; }

 private:
  static constexpr std::uint32_t kChunk = 256;
  // Serials stay within the bits that a handle value gives them.
  static constexpr std::uint32_t kGenerationMask = 0x03FFFFFFu;
  static_assert((std::uintptr_t{kGenerationMask} << 32 | 0xFFFFFFFFu) <= kHandleSerialMask, "serials fit a handle");
  static_assert(kGenerationMask >> 26 == 0, "a generation fits its field");
  static_assert(sizeof(ChangeHandle) <= 48, "a handle's slot is 48 bytes");

  std::vector<std::unique_ptr<ChangeHandle[]>> chunks_;
  ChangeHandle *free_ = nullptr;
  std::uint32_t used_ = 0;  // slots handed out at least once
  std::size_t count_ = 0;   // slots in use
};

void Signal(Watch &watch) {
  ++watch.fileEvents;
  ++watch.dirEvents;
  ++watch.lostEvents;
}

// Two names of one hash only cost a needless check, so 32 bits do.
std::uint32_t NameHash(const char *name, std::size_t length) {
  return static_cast<std::uint32_t>(std::hash<std::string_view>()(std::string_view(name, length)));
}

}  // namespace

// The serials of the handles that posted to it since the last take; guarded
// by the notifier's lock.
class VantrelPlatform::ChangeMailbox final {
 public:
  std::vector<std::uintptr_t> serials;
  bool lost = false;  // events were dropped while a handle posted here
};

namespace {

// The process's inotify instance, its watches and the change handles.
// Instances are thread-safe: all member data is guarded by mutex_. The lock is
// held across the non-blocking inotify calls (add, remove, read), so that
// reading events and changing the tables form one ordered sequence; it is
// never held while a caller waits.
class ChangeNotifier final {
 public:
  static ChangeNotifier &Instance() {
    // Never destroyed: threads may still close handles while the process exits.
    static auto *notifier = new ChangeNotifier();
    return *notifier;
  }

  ChangeNotifier(const ChangeNotifier &) = delete;
  // The handle in the slot `index`, for the name tables; under mutex_.
  ChangeHandle &HandleAt(std::uint32_t index) { return handles_.At(index); }
  ChangeNotifier &operator=(const ChangeNotifier &) = delete;

  // A new handle, or INVALID_HANDLE_VALUE with `error` set to an errno value
  // (mapped by the caller, outside the lock) or, when `error` is 0, with the
  // last error already set.
  // With a filter of 0, `path` is a directory's and `file` the entry in it
  // that the handle watches; refused with ERROR_INVALID_PARAMETER where its
  // changes may not reach the watch (a network or FUSE file system).
  HANDLE Create(const char *path, DWORD filter, int &error, const WatchedFile *file = nullptr,
                const std::shared_ptr<VantrelPlatform::ChangeMailbox> &mailbox = nullptr,
                std::uint64_t cookie = 0);
  bool Take(VantrelPlatform::ChangeMailbox &mailbox, std::vector<std::uint64_t> &cookies);
  BOOL Rearm(HANDLE handle);
  BOOL Close(HANDLE handle);
  DWORD Wait(HANDLE handle, DWORD milliseconds);
  bool Signalled(HANDLE handle);

  std::size_t WatchCount();
  std::size_t HandleCount();

 private:
  ChangeNotifier() = default;

  bool OpenInstance(int &error);
  int AddWatch(const char *path, std::uint32_t mask, bool &knownNew);
  void Drain();
  void Dispatch(int wd, std::uint32_t mask, const char *name, std::size_t nameLength);
  static void Post(ChangeHandle *listeners);
  static void PostOne(ChangeHandle &handle);
  static void PostAll(Watch &watch);
  ChangeHandle *Find(HANDLE handle);
  // Counts a handle's use of `mailbox`, which the notifier then keeps alive;
  // may throw std::bad_alloc, and then changes nothing.
  void UseMailbox(const std::shared_ptr<VantrelPlatform::ChangeMailbox> &mailbox);
  void LeaveMailbox(VantrelPlatform::ChangeMailbox *mailbox);

  std::mutex mutex_;
  int fd_ = -1;
  // Whether the kernel refuses IN_MASK_CREATE on a watched inode (Linux 4.18
  // and later); only then can a reused wd be told from a shared one.
  bool maskCreateHonoured_ = false;
  std::unique_ptr<char[]> buffer_;
  // The live watches by wd. A watch is owned by its handles: it is deleted
  // with the last of them, and a dead one is out of this table before that.
  std::unordered_map<int, Watch *> watches_;
  HandleSlots handles_;
  // The mailboxes that handles post to, each with the count of its handles.
  std::unordered_map<VantrelPlatform::ChangeMailbox *,
                     std::pair<std::shared_ptr<VantrelPlatform::ChangeMailbox>, std::size_t>>
      mailboxes_;
  // The directory that the last watch was added for, and its wd: the next
  // handle is most often on the same one (the files of one directory). The
  // events that the kernel was last asked for on it, and when.
  std::string lastPath_;
  int lastWd_ = -1;
  std::uint32_t lastMask_ = 0;
  std::chrono::steady_clock::time_point lastAsked_;
};

bool ChangeNotifier::OpenInstance(int &error) {
  if (fd_ >= 0) {
    return true;
  }
  if (!buffer_) {
    buffer_.reset(new char[kReadBufferSize]);
  }
  const int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd < 0) {
    error = errno;
    return false;
  }
  // Kernels before 4.18 ignore IN_MASK_CREATE instead of refusing a second
  // watch on one inode with EEXIST. The probe's IN_IGNORED is read at once.
  const int probe = ::inotify_add_watch(fd, "/", IN_DELETE_SELF | IN_MASK_CREATE);
  if (probe >= 0) {
    maskCreateHonoured_ = ::inotify_add_watch(fd, "/", IN_DELETE_SELF | IN_MASK_CREATE) < 0 && errno == EEXIST;
    ::inotify_rm_watch(fd, probe);
  }
  fd_ = fd;
  Drain();
  return true;
}

// Adds or finds the kernel watch on `path`, reporting at least `mask`; a
// watch found keeps what it reported before too. `knownNew` tells that the
// kernel created a new watch, as opposed to handing back the one it has.
//
// The directory of the last call, while its watch lives, is asked for once,
// without IN_MASK_CREATE: a wd that is still in the table is the watch known
// under it, since Linux hands a wd out again only once every other one has
// been used (2^31 watches later), and a watch that the kernel dropped is out
// of the table as soon as its IN_IGNORED is read, which every sweep does.
//
// Within a second of asking, the answer for that directory stands for the
// handles that follow on it, which the kernel is not asked again: a burst of
// files of one directory costs one call, not one each. The watch reports its
// own move (IN_MOVE_SELF), which, like its loss, ends that; what else could
// make the path lead elsewhere (a mount over it, a link on the way changed)
// tells no watch, and a handle made within the second is then as one made
// just before it.
int ChangeNotifier::AddWatch(const char *path, std::uint32_t mask, bool &knownNew) {
  knownNew = false;
  const bool lastKnown = lastWd_ >= 0 && lastPath_ == path && watches_.count(lastWd_) != 0;
  const auto now = std::chrono::steady_clock::now();
  if (lastKnown && (lastMask_ & (mask | IN_MOVE_SELF)) == (mask | IN_MOVE_SELF) &&
      now - lastAsked_ < kDirectoryAnswerStands) {
    return lastWd_;
  }
  int wd = -1;
  if (!maskCreateHonoured_ || lastKnown) {
    wd = ::inotify_add_watch(fd_, path, mask | IN_MASK_ADD);
  } else {
    wd = ::inotify_add_watch(fd_, path, mask | IN_MASK_CREATE);
    if (wd >= 0) {
      knownNew = true;
    } else if (errno == EEXIST) {
      wd = ::inotify_add_watch(fd_, path, mask | IN_MASK_ADD);
    }
  }
  if (wd >= 0) {
    try {
      // IN_MASK_ADD keeps what the watch reported before.
      lastMask_ = lastKnown && wd == lastWd_ && !knownNew ? lastMask_ | mask : mask;
      lastPath_ = path;
      lastWd_ = wd;
      lastAsked_ = now;
    } catch (const std::bad_alloc &) {
      lastWd_ = -1;
    }
  }
  return wd;
}

void ChangeNotifier::Drain() {
  for (int reads = 0; reads < kMaxReadsPerDrain; ++reads) {
    const ssize_t n = ::read(fd_, buffer_.get(), kReadBufferSize);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return;  // EAGAIN: nothing left
    }
    std::size_t offset = 0;
    while (offset + sizeof(struct inotify_event) <= static_cast<std::size_t>(n)) {
      struct inotify_event event;
      std::memcpy(&event, buffer_.get() + offset, sizeof event);
      const char *name = buffer_.get() + offset + sizeof event;
      Dispatch(event.wd, event.mask, name, event.len == 0 ? 0 : ::strnlen(name, event.len));
      offset += sizeof event + event.len;
    }
  }
}

void ChangeNotifier::Dispatch(int wd, std::uint32_t mask, const char *name, std::size_t nameLength) {
  if ((mask & (IN_Q_OVERFLOW | IN_MOVE_SELF | IN_UNMOUNT)) != 0 && (wd == lastWd_ || (mask & IN_Q_OVERFLOW) != 0)) {
    lastWd_ = -1;  // the path of the last watch is to be asked for again
  }
  if ((mask & IN_Q_OVERFLOW) != 0) {
    // Events were lost, IN_IGNORED ones perhaps among them.
    for (auto &entry : watches_) {
      Signal(*entry.second);
      entry.second->staleIgnored = 0;
    }
    for (auto &entry : mailboxes_) {
      entry.first->lost = true;
    }
    return;
  }
  const auto it = watches_.find(wd);
  if (it == watches_.end()) {
    return;  // a watch removed by its last handle
  }
  Watch &watch = *it->second;
  if (nameLength > 0 && !watch.names.Empty()) {
    watch.names.ForName(NameHash(name, nameLength), [](ChangeHandle &handle) {
      handle.fired = true;
      PostOne(handle);
    });
  }
  if ((mask & IN_MOVE_SELF) != 0) {
    // The directory is no longer where its files' paths lead.
    ++watch.lostEvents;
    PostAll(watch);
    return;
  }
  if ((mask & (IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_IGNORED | IN_UNMOUNT)) == 0) {
    return;  // a file's contents or attributes: only its own handles care
  }
  if ((mask & IN_IGNORED) != 0) {
    if (watch.staleIgnored > 0) {
      --watch.staleIgnored;
      return;
    }
    watch.dead = true;
    Signal(watch);
    PostAll(watch);
    watches_.erase(it);
    return;
  } else if ((mask & IN_UNMOUNT) != 0) {
    Signal(watch);
    PostAll(watch);
    return;
  } else if ((mask & IN_ISDIR) != 0) {
    ++watch.dirEvents;
  } else {
    ++watch.fileEvents;
  }
  Post(watch.listeners);
}

// Events lost to an overflow post nothing: every handle is signalled, and
// read at its own next check rather than all at once.
void ChangeNotifier::PostAll(Watch &watch) {
  Post(watch.listeners);
  watch.names.ForAll(PostOne);
}

void ChangeNotifier::Post(ChangeHandle *listeners) {
  for (ChangeHandle *handle = listeners; handle != nullptr; handle = handle->nextListener) {
    PostOne(*handle);
  }
}

// A handle whose post cannot be stored is only read at its next check.
void ChangeNotifier::PostOne(ChangeHandle &handle) {
  if (handle.mailbox != nullptr && !handle.posted) {
    try {
      handle.mailbox->serials.push_back(handle.Serial());
      handle.posted = true;
    } catch (const std::bad_alloc &) {
    }
  }
}

bool ChangeNotifier::Take(VantrelPlatform::ChangeMailbox &mailbox, std::vector<std::uint64_t> &cookies) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (fd_ < 0) {
    return false;
  }
  Drain();
  const bool lost = mailbox.lost;
  mailbox.lost = false;
  for (const std::uintptr_t serial : mailbox.serials) {
    ChangeHandle *handle = handles_.Find(serial);
    // A handle closed since it posted.
    if (handle == nullptr || handle->mailbox != &mailbox || !handle->posted) {
      continue;
    }
    try {
      cookies.push_back(handle->cookie);
    } catch (const std::bad_alloc &) {
      continue;  // posted again by its next change
    }
    handle->posted = false;
  }
  mailbox.serials.clear();
  return lost;
}

ChangeHandle *ChangeNotifier::Find(HANDLE handle) {
  std::uintptr_t serial = 0;
  if (!HandleSerial(handle, HandleKind::Change, serial)) {
    return nullptr;
  }
  return handles_.Find(serial);
}

void ChangeNotifier::UseMailbox(const std::shared_ptr<VantrelPlatform::ChangeMailbox> &mailbox) {
  auto &use = mailboxes_[mailbox.get()];
  if (use.second++ == 0) {
    use.first = mailbox;
  }
}

void ChangeNotifier::LeaveMailbox(VantrelPlatform::ChangeMailbox *mailbox) {
  const auto it = mailboxes_.find(mailbox);
  if (it != mailboxes_.end() && --it->second.second == 0) {
    mailboxes_.erase(it);
  }
}

HANDLE ChangeNotifier::Create(const char *path, DWORD filter, int &error, const WatchedFile *file,
                              const std::shared_ptr<VantrelPlatform::ChangeMailbox> &mailbox,
                              std::uint64_t cookie) {
  error = 0;
  std::lock_guard<std::mutex> lock(mutex_);
  if (!OpenInstance(error)) {
    return INVALID_HANDLE_VALUE;
  }
  // Whatever was queued before this watch is read first: a directory's
  // handle starts unsignalled, and where the kernel cannot tell a new watch
  // from one it has, an IN_IGNORED of a watch removed earlier cannot be
  // taken for one of a watch that the kernel gives the same wd below. A
  // file's handle is made before its file is read, so an event from before
  // it at most costs that file one more read: it skips the read.
  if (!maskCreateHonoured_ || file == nullptr) {
    Drain();
  }
  bool knownNew = false;
  const int wd = AddWatch(path, file != nullptr ? kWatchMask | kFileMask : kWatchMask, knownNew);
  if (wd < 0) {
    error = errno;
    return INVALID_HANDLE_VALUE;
  }
  const auto known = watches_.find(wd);
  std::unique_ptr<Watch> made;
  Watch *watch = known != watches_.end() && !knownNew ? known->second : nullptr;
  const std::uint32_t name = file != nullptr ? NameHash(file->name.data(), file->name.size()) : 0;
  ChangeHandle *handle = nullptr;
  bool counted = false, listed = false;
  try {
    if (watch == nullptr) {
      made.reset(new Watch(wd));
      watch = made.get();
    }
    if (file != nullptr && !watch->Trusts(path, *file)) {
      if (made) {
        ::inotify_rm_watch(fd_, wd);
      }
      SetError(ERROR_INVALID_PARAMETER);
      return INVALID_HANDLE_VALUE;
    }
    // Everything that may fail comes first, undone below.
    if (file != nullptr) {
      watch->names.Reserve();
    }
    if (mailbox) {
      UseMailbox(mailbox);
      counted = true;
    }
    handle = &handles_.Acquire();
    if (made && known == watches_.end()) {
      watches_.emplace(wd, watch);
      listed = true;
    }
  } catch (const std::bad_alloc &) {
    if (handle != nullptr) {
      handles_.Release(*handle);
    }
    if (counted) {
      LeaveMailbox(mailbox.get());
    }
    if (made) {
      ::inotify_rm_watch(fd_, wd);
    }
    SetError(ERROR_NOT_ENOUGH_MEMORY);
    return INVALID_HANDLE_VALUE;
  }
  if (made && !listed) {
    // The directory of the watch we knew under this wd is gone and its
    // IN_IGNORED is still queued.
    watch->staleIgnored = known->second->staleIgnored + 1;
    known->second->dead = true;
    Signal(*known->second);
    known->second = watch;
  }
  made.release();  // owned by its handles from here on
  handle->watch = watch;
  handle->filter = filter & kSupportedFilter;
  if (file != nullptr) {
    handle->name = name;
  }
  handle->Rearm();
  if (mailbox) {
    handle->mailbox = mailbox.get();
    handle->cookie = cookie;
  }
  if (file != nullptr) {
    watch->names.Insert(handle);
  } else if (mailbox) {
    handle->nextListener = watch->listeners;
    watch->listeners = handle;
  }
  ++watch->handles;
  SetError(ERROR_SUCCESS);
  return MakeHandle(HandleKind::Change, handle->Serial());
}

BOOL ChangeNotifier::Rearm(HANDLE handle) {
  std::lock_guard<std::mutex> lock(mutex_);
  ChangeHandle *entry = Find(handle);
  if (entry == nullptr) {
    SetError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  entry->Rearm();
  if (entry->watch->dead) {
    SetError(ERROR_FILE_NOT_FOUND);
    return FALSE;
  }
  SetError(ERROR_SUCCESS);
  return TRUE;
}

// Success leaves the last error alone, as closing calls do on Windows.
BOOL ChangeNotifier::Close(HANDLE handle) {
  std::lock_guard<std::mutex> lock(mutex_);
  ChangeHandle *entry = Find(handle);
  if (entry == nullptr) {
    SetError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  Watch *const watch = entry->watch;
  const auto unlink = [entry](ChangeHandle *&listeners) {
    for (ChangeHandle **link = &listeners; *link != nullptr; link = &(*link)->nextListener) {
      if (*link == entry) {
        *link = entry->nextListener;
        return;
      }
    }
  };
  if (entry->ForFile()) {
    watch->names.Erase(entry);
  } else {
    unlink(watch->listeners);
  }
  if (entry->mailbox != nullptr) {
    LeaveMailbox(entry->mailbox);
  }
  handles_.Release(*entry);
  if (--watch->handles == 0) {
    const bool dead = watch->dead;
    const int wd = watch->wd;
    const auto listed = watches_.find(wd);
    if (listed != watches_.end() && listed->second == watch) {
      watches_.erase(listed);
    }
    delete watch;
    if (!dead) {
      // Fails with EINVAL when the directory went an instant ago; its
      // IN_IGNORED then finds no watch, like the one queued here.
      ::inotify_rm_watch(fd_, wd);
      // Read the IN_IGNORED now, so that closing many handles at once does
      // not overflow the queue and signal every other handle.
      Drain();
    }
  }
  return TRUE;
}

DWORD ChangeNotifier::Wait(HANDLE handle, DWORD milliseconds) {
  const auto start = std::chrono::steady_clock::now();
  for (;;) {
    int fd = -1;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (Find(handle) == nullptr) {
        SetError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
      }
      Drain();
      if (Find(handle)->Signalled()) {
        SetError(ERROR_SUCCESS);
        return WAIT_OBJECT_0;
      }
      fd = fd_;
    }
    int slice = kWaitSliceMillis;
    if (milliseconds != INFINITE) {
      const auto waited =
          std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
      if (waited >= static_cast<long long>(milliseconds)) {
        SetError(ERROR_SUCCESS);
        return WAIT_TIMEOUT;
      }
      slice = static_cast<int>(std::min<long long>(slice, static_cast<long long>(milliseconds) - waited));
    }
    // The descriptor stays open for the life of the process.
    struct pollfd ready = {fd, POLLIN, 0};
    ::poll(&ready, 1, slice);
  }
}

bool ChangeNotifier::Signalled(HANDLE handle) {
  std::lock_guard<std::mutex> lock(mutex_);
  const ChangeHandle *entry = Find(handle);
  return entry == nullptr || entry->Signalled();
}

std::size_t ChangeNotifier::WatchCount() {
  std::lock_guard<std::mutex> lock(mutex_);
  return watches_.size();
}

std::size_t ChangeNotifier::HandleCount() {
  std::lock_guard<std::mutex> lock(mutex_);
  return handles_.Count();
}

// The name tables live in the watches of the one notifier, whose lock their
// callers hold.
ChangeHandle &NameTable::At(std::uint32_t entry) { return ChangeNotifier::Instance().HandleAt(entry - 1); }

}  // namespace

namespace {

// A new handle on the directory `path` (of its entry names, or of the file
// `fileName` in it), with the last error set as the system's calls set it.
HANDLE CreateChangeHandle(ChangeNotifier &notifier, const std::string &path, DWORD filter,
                          const WatchedFile *file,
                          const std::shared_ptr<VantrelPlatform::ChangeMailbox> &mailbox = nullptr,
                          std::uint64_t cookie = 0) {
  int error = 0;
  HANDLE handle = INVALID_HANDLE_VALUE;
  try {
    handle = notifier.Create(path.c_str(), filter, error, file, mailbox, cookie);
  } catch (const std::bad_alloc &) {
    SetError(ERROR_NOT_ENOUGH_MEMORY);
    return INVALID_HANDLE_VALUE;
  }
  if (error != 0) {
    SetErrorFromErrno(error, path.c_str(), true);
  }
  return handle;
}

}  // namespace

namespace {

HANDLE OpenDirectoryHandle(LPCWSTR lpPathName, BOOL bWatchSubtree, DWORD dwNotifyFilter,
                           const std::shared_ptr<VantrelPlatform::ChangeMailbox> &mailbox, std::uint64_t cookie) {
  // inotify watches one directory, and only entry names are reported.
  if (bWatchSubtree != FALSE || dwNotifyFilter == 0 || (dwNotifyFilter & ~kSupportedFilter) != 0) {
    SetError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  std::string path;
  if (!NativePath(lpPathName, path)) {
    return INVALID_HANDLE_VALUE;
  }
  return CreateChangeHandle(ChangeNotifier::Instance(), path, dwNotifyFilter, nullptr, mailbox, cookie);
}

}  // namespace

HANDLE FindFirstChangeNotificationW(LPCWSTR lpPathName, BOOL bWatchSubtree, DWORD dwNotifyFilter) {
  return OpenDirectoryHandle(lpPathName, bWatchSubtree, dwNotifyFilter, nullptr, 0);
}

namespace VantrelPlatform {

namespace {

HANDLE OpenFileHandle(const std::wstring &path, const std::shared_ptr<ChangeMailbox> &mailbox, std::uint64_t cookie) {
  std::string native;
  if (!NativePath(path.c_str(), native)) {
    return INVALID_HANDLE_VALUE;
  }
  const std::size_t slash = native.rfind('/');
  std::string directory = slash == std::string::npos ? "." : slash == 0 ? "/" : native.substr(0, slash);
  WatchedFile file;
  file.name = slash == std::string::npos ? native : native.substr(slash + 1);
  if (file.name.empty() || file.name == "." || file.name == "..") {
    SetError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  // A link's target changes where its directory's watch does not look, and
  // the events of a file that is a mount of its own (a bind-mounted file,
  // on the same file system or another) go to its source's directory:
  // neither can have its notification here.
  struct statx seen;
  if (::statx(AT_FDCWD, native.c_str(), AT_SYMLINK_NOFOLLOW, STATX_TYPE, &seen) == 0) {
    const bool mountRoot = (seen.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0 &&
                           (seen.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
    if (S_ISLNK(seen.stx_mode) || mountRoot) {
      SetError(ERROR_INVALID_PARAMETER);
      return INVALID_HANDLE_VALUE;
    }
    file.device = makedev(seen.stx_dev_major, seen.stx_dev_minor);
  }
  return CreateChangeHandle(ChangeNotifier::Instance(), directory, 0, &file, mailbox, cookie);
}

bool TrustedFileSystem(const std::wstring &path) {
  std::string native;
  if (!NativePath(path.c_str(), native)) {
    return false;
  }
  struct statfs info;
  if (::statfs(native.c_str(), &info) != 0) {
    // Judged by the directory that is to hold it.
    const std::size_t slash = native.rfind('/');
    native = slash == std::string::npos ? "." : slash == 0 ? "/" : native.substr(0, slash);
    if (::statfs(native.c_str(), &info) != 0) {
      return false;  // unknown: trusted with nothing
    }
  }
  return !RemoteFileSystem(info);
}

class SystemChangeNotificationCalls final : public ChangeNotificationCalls {
 public:
  HANDLE OpenFile(const std::wstring &path, const std::shared_ptr<ChangeMailbox> &mailbox,
                  std::uint64_t cookie) override {
    return OpenFileHandle(path, mailbox, cookie);
  }
  HANDLE OpenDirectory(const std::wstring &path, DWORD filter, const std::shared_ptr<ChangeMailbox> &mailbox,
                       std::uint64_t cookie) override {
    return OpenDirectoryHandle(path.c_str(), FALSE, filter, mailbox, cookie);
  }
  bool Take(ChangeMailbox &mailbox, std::vector<std::uint64_t> &cookies) noexcept override {
    return ChangeNotifier::Instance().Take(mailbox, cookies);
  }
  bool Trusted(const std::wstring &path) override { return TrustedFileSystem(path); }
};

}  // namespace

// Never destroyed, as the notifier: a static's destructor may still close a
// handle.
ChangeNotificationCalls &ChangeNotificationCalls::System() {
  static auto *calls = new SystemChangeNotificationCalls();
  return *calls;
}

std::shared_ptr<ChangeMailbox> NewChangeMailbox() { return std::make_shared<ChangeMailbox>(); }

// An unknown handle counts as signalled, as its wait fails.
bool ChangeSignalled(HANDLE handle) { return ChangeNotifier::Instance().Signalled(handle); }

}  // namespace VantrelPlatform

BOOL FindNextChangeNotification(HANDLE hChangeHandle) { return ChangeNotifier::Instance().Rearm(hChangeHandle); }

BOOL FindCloseChangeNotification(HANDLE hChangeHandle) { return ChangeNotifier::Instance().Close(hChangeHandle); }

DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
  return ChangeNotifier::Instance().Wait(hHandle, dwMilliseconds);
}

namespace VantrelPlatform {
namespace TestHooks {

std::size_t ChangeWatchCount() { return ChangeNotifier::Instance().WatchCount(); }

std::size_t ChangeHandleCount() { return ChangeNotifier::Instance().HandleCount(); }

}  // namespace TestHooks
}  // namespace VantrelPlatform
