// Linked into each DLL on Windows. ACE is a static library there, so every
// module carries ACE's process-wide objects of its own; this module's are set
// up when it is loaded and taken down when it is unloaded.
#include <ace/Init_ACE.h>

namespace {

struct AceLifetime {
  AceLifetime() { ACE::init(); }
  ~AceLifetime() { ACE::fini(); }
} aceLifetime;

}  // namespace
