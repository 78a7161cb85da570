// The process entry of the Windows exe. There is no C runtime behind it: the
// loader calls this directly, and ExitProcess ends the run.
#include "launcher.h"

extern "C"
#ifdef __i386__
    // The loader does not promise GCC's 16-byte stack alignment on 32-bit Windows.
    __attribute__((force_align_arg_pointer))
#endif
    void WINAPI QuenloEntry(void)
{
  ExitProcess((UINT)LauncherMain(GetModuleHandleA(NULL), NULL, GetCommandLineA(), SW_SHOWDEFAULT));
}
