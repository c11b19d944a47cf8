// Linked into each program on Windows (the agent, the test programs). ACE's
// process-wide objects live in libACE.dll, which the program and both DLLs
// of ours share; the program sets them up before main and takes them down
// after it, outside any DLL's loader lock.
#include <ace/Init_ACE.h>

namespace {

struct AceLifetime {
  AceLifetime() { ACE::init(); }
  ~AceLifetime() { ACE::fini(); }
} aceLifetime;

}  // namespace
