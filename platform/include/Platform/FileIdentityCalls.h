// The identity reads of the platform layer as an interface, so that a test
// can put its own in front of the system's (as LevelDB's EnvWrapper does) and
// make a read fail as it does when the file goes between the two reads.
//
// GetFileAttributesAndIdentity, Stat64AndIdentity and IdentityOfHandle
// (Win32Api.h) each make one call of the installed instance, the system's
// unless a test installed another; on Windows the system's reads of a path
// ask for the identity through the other functions (GetFileAttributesAndIdentity
// through IdentityOfHandle, Stat64AndIdentity through
// GetFileAttributesAndIdentity), and so through the installed instance too.
// Production code never installs one.
#ifndef VANTREL_PLATFORM_FILEIDENTITYCALLS_H
#define VANTREL_PLATFORM_FILEIDENTITYCALLS_H

#include <Platform/Win32Api.h>

#include <optional>

namespace VantrelPlatform {

class FileIdentityCalls {
 public:
  virtual ~FileIdentityCalls() = default;

  // The system's reads, which live as long as the process.
  static FileIdentityCalls &System();

  // As GetFileAttributesAndIdentity, Stat64AndIdentity and IdentityOfHandle.
  virtual BOOL AttributesAndIdentity(LPCWSTR path, WIN32_FILE_ATTRIBUTE_DATA *attributes,
                                     std::optional<FileIdentity> *identity) = 0;
  virtual int StatAndIdentity(const wchar_t *path, __stat64 *buffer, std::optional<FileIdentity> *identity) = 0;
  virtual bool OfHandle(HANDLE file, FileIdentity &identity) = 0;
};

// Makes `calls` the ones that the functions go through from now on (the
// system's again for null) and returns those it replaces (null for the
// system's). `calls` must outlive every call that may still be made through
// it.
FileIdentityCalls *InstallFileIdentityCalls(FileIdentityCalls *calls);

}  // namespace VantrelPlatform

#endif  // VANTREL_PLATFORM_FILEIDENTITYCALLS_H
