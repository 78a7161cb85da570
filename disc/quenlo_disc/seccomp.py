"""What the programs in a sandbox may not ask of the kernel, and a kernel
session keyring of their own.

A disc's programs have no business with the kernel's keyrings (where the
user who tries the disc may keep secrets), nor with what container runtimes
refuse by default: mounts, modules, namespaces, the clock, kernel tracing.
The filter is a classic BPF program for seccomp, as bubblewrap takes with
--seccomp FD, or as a process installs it on itself; each such call fails
with EPERM, for 64-bit programs, for 32-bit ones run natively, and for those
qemu runs (whose calls qemu makes as 64-bit ones). The x32 ABI is refused
whole.
"""
import ctypes
import errno
import os
import platform
import struct

AUDIT_ARCH_X86_64, AUDIT_ARCH_I386 = 0xC000003E, 0x40000003
X32 = 0x40000000
REFUSED = {
    AUDIT_ARCH_X86_64: {"acct": 163, "add_key": 248, "bpf": 321, "clock_adjtime": 305, "clock_settime": 227,
                        "create_module": 174, "delete_module": 176, "finit_module": 313, "get_kernel_syms": 177,
                        "init_module": 175, "ioperm": 173, "iopl": 172, "kexec_file_load": 320, "kexec_load": 246,
                        "keyctl": 250, "lookup_dcookie": 212, "mount": 165, "name_to_handle_at": 303,
                        "nfsservctl": 180, "open_by_handle_at": 304, "perf_event_open": 298, "pivot_root": 155,
                        "query_module": 178, "quotactl": 179, "reboot": 169, "request_key": 249, "setns": 308,
                        "settimeofday": 164, "swapon": 167, "swapoff": 168, "sysfs": 139, "_sysctl": 156,
                        "umount2": 166, "unshare": 272, "uselib": 134, "userfaultfd": 323, "ustat": 136, "fsopen": 430,
                        "fsconfig": 431, "fsmount": 432, "move_mount": 429, "open_tree": 428, "fspick": 433,
                        "mount_setattr": 442},
    AUDIT_ARCH_I386: {"acct": 51, "add_key": 286, "bpf": 357, "clock_adjtime": 343, "clock_settime": 264,
                      "create_module": 127, "delete_module": 129, "finit_module": 350, "get_kernel_syms": 130,
                      "init_module": 128, "ioperm": 101, "iopl": 110, "kexec_load": 283, "keyctl": 288,
                      "lookup_dcookie": 253, "mount": 21, "name_to_handle_at": 341, "nfsservctl": 169,
                      "open_by_handle_at": 342, "perf_event_open": 336, "pivot_root": 217, "query_module": 167,
                      "quotactl": 131, "reboot": 88, "request_key": 287, "setns": 346, "settimeofday": 79, "stime": 25,
                      "swapon": 87, "swapoff": 115, "sysfs": 135, "_sysctl": 149, "umount": 22, "umount2": 52,
                      "unshare": 310, "uselib": 86, "userfaultfd": 374, "ustat": 62, "vm86": 166, "vm86old": 113,
                      "fsopen": 430, "fsconfig": 431, "fsmount": 432, "move_mount": 429, "open_tree": 428,
                      "fspick": 433, "mount_setattr": 442},
}
LOAD, JEQ, JGE, RET = 0x20, 0x15, 0x35, 0x06  # BPF_LD|W|ABS, BPF_JMP|JEQ|K, BPF_JMP|JGE|K, BPF_RET|K
ALLOW, DENY = 0x7FFF0000, 0x00050000 | errno.EPERM  # SECCOMP_RET_ALLOW, SECCOMP_RET_ERRNO
PR_SET_NO_NEW_PRIVS, PR_SET_SECCOMP, SECCOMP_MODE_FILTER = 38, 22, 2
KEYCTL_JOIN_SESSION_KEYRING = 1
KEYCTL = {"x86_64": 250, "aarch64": 219, "i686": 288, "i386": 288}


def program():
    """The filter, as bytes of struct sock_filter."""
    def op(code, k, jt=0, jf=0):
        return struct.pack("<HBBI", code, jt, jf, k)

    x86_64, i386 = sorted(REFUSED[AUDIT_ARCH_X86_64].values()), sorted(REFUSED[AUDIT_ARCH_I386].values())
    # arch: 64-bit calls next, 32-bit ones after them; any other, refused.
    out = [op(LOAD, 4), op(JEQ, AUDIT_ARCH_X86_64, 2, 0), op(JEQ, AUDIT_ARCH_I386, len(x86_64) + 5, 0), op(RET, DENY)]
    # 64-bit: the x32 ABI refused whole, then each number; each jump to the DENY at the end of its block.
    out += [op(LOAD, 0), op(JGE, X32, len(x86_64) + 1, 0)]
    out += [op(JEQ, nr, len(x86_64) - n, 0) for n, nr in enumerate(x86_64)]
    out += [op(RET, ALLOW), op(RET, DENY)]
    out += [op(LOAD, 0)] + [op(JEQ, nr, len(i386) - n, 0) for n, nr in enumerate(i386)]
    out += [op(RET, ALLOW), op(RET, DENY)]
    return b"".join(out)


def descriptor():
    """A descriptor to read the filter from, as bubblewrap's --seccomp takes
    it (the caller passes it on, and closes it)."""
    read, write = os.pipe()
    os.write(write, program())
    os.close(write)
    return read


def install():
    """The filter on this process and all it starts, for good."""
    libc = ctypes.CDLL(None, use_errno=True)
    code = program()
    buffer = ctypes.create_string_buffer(code)

    class Program(ctypes.Structure):
        _fields_ = [("len", ctypes.c_ushort), ("filter", ctypes.c_void_p)]

    given = Program(len(code) // 8, ctypes.cast(buffer, ctypes.c_void_p))
    if libc.prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 or libc.prctl(
            PR_SET_SECCOMP, SECCOMP_MODE_FILTER, ctypes.byref(given), 0, 0) != 0:
        raise OSError(ctypes.get_errno(), "the sandbox's system call filter")


def fresh_keyring():
    """This process (and all it starts) in a new, empty session keyring of
    its own, in place of the caller's, which may hold the user's keys."""
    number = KEYCTL.get(platform.machine())
    if number is None:
        return
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.syscall(number, KEYCTL_JOIN_SESSION_KEYRING, None) < 0 and ctypes.get_errno() != errno.ENOSYS:
        raise OSError(ctypes.get_errno(), "a session keyring of the sandbox's own")
