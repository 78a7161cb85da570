"""What the programs in a sandbox may not ask of the kernel, and a kernel
session keyring of their own.

A disc's programs have no business with the kernel's keyrings (where the
user who tries the disc may keep secrets), nor with what container runtimes
refuse by default: mounts, modules, namespaces (unshare, setns, and clone
with a namespace's flag: a user namespace of its own would give a disc
every capability there, netlink to nf_tables among them), the clock, kernel
tracing, io_uring (calls no filter sees), and other processes' memory
(ptrace, process_vm_*: the session's display and Wine's server are the same
user's). The filter is a classic BPF program for seccomp, as bubblewrap
takes with --seccomp FD, or as a process installs it on itself; each such
call fails with EPERM, for 64-bit programs, for 32-bit ones run natively
(int 0x80 from any program too), and for those qemu runs (whose calls qemu
makes as 64-bit ones). clone3, whose flags lie in memory a filter cannot
read, fails with ENOSYS, as container runtimes answer it, so that the C
library falls back to clone. The x32 ABI is refused whole.
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
                        "mount_setattr": 442, "io_uring_setup": 425, "io_uring_enter": 426,
                        "io_uring_register": 427, "ptrace": 101, "process_vm_readv": 310, "process_vm_writev": 311,
                        "pidfd_getfd": 438},
    AUDIT_ARCH_I386: {"acct": 51, "add_key": 286, "bpf": 357, "clock_adjtime": 343, "clock_settime": 264,
                      "create_module": 127, "delete_module": 129, "finit_module": 350, "get_kernel_syms": 130,
                      "init_module": 128, "ioperm": 101, "iopl": 110, "kexec_load": 283, "keyctl": 288,
                      "lookup_dcookie": 253, "mount": 21, "name_to_handle_at": 341, "nfsservctl": 169,
                      "open_by_handle_at": 342, "perf_event_open": 336, "pivot_root": 217, "query_module": 167,
                      "quotactl": 131, "reboot": 88, "request_key": 287, "setns": 346, "settimeofday": 79, "stime": 25,
                      "swapon": 87, "swapoff": 115, "sysfs": 135, "_sysctl": 149, "umount": 22, "umount2": 52,
                      "unshare": 310, "uselib": 86, "userfaultfd": 374, "ustat": 62, "vm86": 166, "vm86old": 113,
                      "fsopen": 430, "fsconfig": 431, "fsmount": 432, "move_mount": 429, "open_tree": 428,
                      "fspick": 433, "mount_setattr": 442, "io_uring_setup": 425, "io_uring_enter": 426,
                      "io_uring_register": 427, "ptrace": 26, "process_vm_readv": 347, "process_vm_writev": 348,
                      "pidfd_getfd": 438},
}
CLONE = {AUDIT_ARCH_X86_64: 56, AUDIT_ARCH_I386: 120}
CLONE3 = 435  # on both
# CLONE_NEWNS, NEWCGROUP, NEWUTS, NEWIPC, NEWUSER, NEWPID, NEWNET (NEWTIME only clone3 and unshare take)
NAMESPACES = 0x00020000 | 0x02000000 | 0x04000000 | 0x08000000 | 0x10000000 | 0x20000000 | 0x40000000
# BPF_LD|W|ABS, BPF_JMP|JEQ|K, BPF_JMP|JGE|K, BPF_JMP|JSET|K, BPF_RET|K
LOAD, JEQ, JGE, JSET, RET = 0x20, 0x15, 0x35, 0x45, 0x06
ALLOW, DENY, NONE = 0x7FFF0000, 0x00050000 | errno.EPERM, 0x00050000 | errno.ENOSYS  # SECCOMP_RET_ALLOW, _ERRNO
NUMBER, ARCH, FIRST_ARGUMENT = 0, 4, 16  # in struct seccomp_data; the argument's low 32 bits
PR_SET_NO_NEW_PRIVS, PR_SET_SECCOMP, SECCOMP_MODE_FILTER = 38, 22, 2
KEYCTL_JOIN_SESSION_KEYRING = 1
KEYCTL = {"x86_64": 250, "aarch64": 219, "i686": 288, "i386": 288}


def program():
    """The filter, as bytes of struct sock_filter."""
    code, labels = [], {}

    def op(kind, k, yes=None, no=None):  # yes, no: where a jump goes, by label (None: the next)
        code.append((kind, k, yes, no))

    op(LOAD, ARCH)
    op(JEQ, AUDIT_ARCH_X86_64, AUDIT_ARCH_X86_64)
    op(JEQ, AUDIT_ARCH_I386, AUDIT_ARCH_I386)
    op(RET, DENY)  # any other
    for arch in (AUDIT_ARCH_X86_64, AUDIT_ARCH_I386):
        labels[arch] = len(code)
        op(LOAD, NUMBER)
        if arch == AUDIT_ARCH_X86_64:
            op(JGE, X32, "deny")
        op(JEQ, CLONE[arch], ("clone", arch))
        op(JEQ, CLONE3, "none")
        for number in sorted(REFUSED[arch].values()):
            op(JEQ, number, "deny")
        op(RET, ALLOW)
        labels[("clone", arch)] = len(code)
        op(LOAD, FIRST_ARGUMENT)
        op(JSET, NAMESPACES, "deny")
        op(RET, ALLOW)
    labels["deny"] = len(code)
    op(RET, DENY)
    labels["none"] = len(code)
    op(RET, NONE)
    out = []
    for at, (kind, k, yes, no) in enumerate(code):
        jumps = [0 if where is None else labels[where] - at - 1 for where in (yes, no)]
        assert all(0 <= j < 256 for j in jumps), "a jump beyond classic BPF's reach"
        out.append(struct.pack("<HBBI", kind, jumps[0], jumps[1], k))
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
