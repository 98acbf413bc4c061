#include "sandbox.h"

#if defined(__linux__)

#include <cerrno>
#include <cstdio>
#include <cstdint>
#include <initializer_list>
#include <vector>

#include <fcntl.h>
#include <linux/filter.h>
#include <linux/landlock.h>
#include <linux/seccomp.h>
#include <seccomp.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

// Rights of later Landlock versions, which this system's headers may not know yet.
#ifndef LANDLOCK_ACCESS_FS_REFER
#define LANDLOCK_ACCESS_FS_REFER (1ULL << 13)
#endif
#ifndef LANDLOCK_ACCESS_FS_TRUNCATE
#define LANDLOCK_ACCESS_FS_TRUNCATE (1ULL << 14)
#endif
#ifndef LANDLOCK_ACCESS_FS_IOCTL_DEV
#define LANDLOCK_ACCESS_FS_IOCTL_DEV (1ULL << 15)
#endif

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VIREOSCOPE_SANITIZED 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define VIREOSCOPE_SANITIZED 1
#endif

namespace {

// The first step's shortcomings, where the calling thread has taken it.
thread_local bool awaitingRequest = false;
thread_local std::string shortcomingsAwaiting;

const char noLandlock[] = "Landlock (the decoder may read any file the user may)";
const char noSeccomp[] = "seccomp (the decoder may make any system call)";

std::string withoutAny(const std::string &missing)
{
    return missing.empty() ? missing : "the decoder runs without " + missing.substr(0, missing.size() - 1);
}

// Every file system right the running kernel's Landlock knows is taken away, but reading the
// picture itself, if there is one. False where the kernel has no Landlock.
bool restrictFiles(int pictureDescriptor)
{
    const long abi = syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
    if (abi < 1)
        return false;
    std::uint64_t handled = LANDLOCK_ACCESS_FS_EXECUTE | LANDLOCK_ACCESS_FS_WRITE_FILE | LANDLOCK_ACCESS_FS_READ_FILE
                            | LANDLOCK_ACCESS_FS_READ_DIR | LANDLOCK_ACCESS_FS_REMOVE_DIR
                            | LANDLOCK_ACCESS_FS_REMOVE_FILE | LANDLOCK_ACCESS_FS_MAKE_CHAR
                            | LANDLOCK_ACCESS_FS_MAKE_DIR | LANDLOCK_ACCESS_FS_MAKE_REG | LANDLOCK_ACCESS_FS_MAKE_SOCK
                            | LANDLOCK_ACCESS_FS_MAKE_FIFO | LANDLOCK_ACCESS_FS_MAKE_BLOCK | LANDLOCK_ACCESS_FS_MAKE_SYM;
    if (abi >= 2)
        handled |= LANDLOCK_ACCESS_FS_REFER;
    if (abi >= 3)
        handled |= LANDLOCK_ACCESS_FS_TRUNCATE;
    if (abi >= 5)
        handled |= LANDLOCK_ACCESS_FS_IOCTL_DEV;
    landlock_ruleset_attr attributes = {};
    attributes.handled_access_fs = handled;
    const int ruleset = int(syscall(SYS_landlock_create_ruleset, &attributes, sizeof attributes, 0));
    if (ruleset < 0)
        return false;
    landlock_path_beneath_attr picture = {};
    picture.allowed_access = LANDLOCK_ACCESS_FS_READ_FILE;
    picture.parent_fd = pictureDescriptor;
    const bool restricted = (pictureDescriptor < 0
                             || syscall(SYS_landlock_add_rule, ruleset, LANDLOCK_RULE_PATH_BENEATH, &picture, 0) == 0)
                            && syscall(SYS_landlock_restrict_self, ruleset, 0) == 0;
    close(ruleset);
    return restricted;
}

// The instructions of a filter, as the kernel takes them, to be loaded later; none on failure.
std::vector<unsigned char> exported(scmp_filter_ctx filter, bool complete)
{
    std::vector<unsigned char> instructions;
    const int exported = complete ? memfd_create("seccomp-filter", MFD_CLOEXEC) : -1;
    if (exported >= 0 && seccomp_export_bpf(filter, exported) == 0) {
        const off_t size = lseek(exported, 0, SEEK_END);
        instructions.resize(size > 0 && size % sizeof(sock_filter) == 0 ? std::size_t(size) : 0);
        if (pread(exported, instructions.data(), instructions.size(), 0) != ssize_t(instructions.size()))
            instructions.clear();
    }
    if (exported >= 0)
        close(exported);
    seccomp_release(filter);
    return instructions;
}

bool loaded(const std::vector<unsigned char> &filter)
{
    sock_fprog program = {};
    program.len = static_cast<unsigned short>(filter.size() / sizeof(sock_filter));
    program.filter = reinterpret_cast<sock_filter *>(const_cast<unsigned char *>(filter.data()));
    return !filter.empty() && prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program, 0, 0) == 0;
}

const int landlockCalls[] = {SCMP_SYS(landlock_create_ruleset), SCMP_SYS(landlock_add_rule), SCMP_SYS(landlock_restrict_self)};

// Allows what decoding needs, and taking the request on the channel's descriptor, which the
// request's channel then takes; every other call fails with EPERM.
std::vector<unsigned char> callFilter(int channelDescriptor)
{
    scmp_filter_ctx filter = seccomp_init(SCMP_ACT_ERRNO(EPERM));
    if (!filter)
        return {};
    // Calls are found by a binary search, not one after the other.
    seccomp_attr_set(filter, SCMP_FLTATR_CTL_OPTIMIZE, 2);
    bool complete = true;
    const auto allow = [&](int call, std::initializer_list<scmp_arg_cmp> conditions = {}) {
        // A call this architecture lacks needs no rule.
        if (call < 0 && seccomp_syscall_resolve_num_arch(SCMP_ARCH_NATIVE, call) == nullptr)
            return;
        if (seccomp_rule_add_array(filter, SCMP_ACT_ALLOW, call, unsigned(conditions.size()), conditions.begin()) != 0)
            complete = false;
    };
    // Reading the picture and what is already open; nothing opened for writing or created.
    for (const int call : {SCMP_SYS(read), SCMP_SYS(readv), SCMP_SYS(pread64), SCMP_SYS(preadv), SCMP_SYS(lseek),
                           SCMP_SYS(fstat), SCMP_SYS(newfstatat), SCMP_SYS(statx), SCMP_SYS(close)})
        allow(call);
    const scmp_datum_t writing = O_WRONLY | O_RDWR | O_CREAT | O_TRUNC | O_APPEND | (O_TMPFILE & ~O_DIRECTORY);
    allow(SCMP_SYS(openat), {SCMP_A2(SCMP_CMP_MASKED_EQ, writing, 0)});
    allow(SCMP_SYS(open), {SCMP_A1(SCMP_CMP_MASKED_EQ, writing, 0)});
    for (const scmp_datum_t command : {F_GETFD, F_SETFD, F_GETFL, F_SETFL, F_DUPFD, F_DUPFD_CLOEXEC})
        allow(SCMP_SYS(fcntl), {SCMP_A1(SCMP_CMP_EQ, command)});
    // Writing only to the window's channel and to standard error (standard output is sent there).
    for (const int descriptor : {channelDescriptor, STDOUT_FILENO, STDERR_FILENO}) {
        allow(SCMP_SYS(write), {SCMP_A0(SCMP_CMP_EQ, scmp_datum_t(descriptor))});
        allow(SCMP_SYS(writev), {SCMP_A0(SCMP_CMP_EQ, scmp_datum_t(descriptor))});
        allow(SCMP_SYS(vmsplice), {SCMP_A0(SCMP_CMP_EQ, scmp_datum_t(descriptor))});
    }
#ifdef VIREOSCOPE_SANITIZED
    // Test builds only: the sanitizers probe whether memory is readable by writing it into a pipe
    // of their own, and name the executable in their reports.
    for (const int call : {SCMP_SYS(pipe), SCMP_SYS(pipe2), SCMP_SYS(write), SCMP_SYS(readlink), SCMP_SYS(readlinkat)})
        allow(call);
#endif
    // Memory, never executable.
    allow(SCMP_SYS(mmap), {SCMP_A2(SCMP_CMP_MASKED_EQ, PROT_EXEC, 0)});
    allow(SCMP_SYS(mprotect), {SCMP_A2(SCMP_CMP_MASKED_EQ, PROT_EXEC, 0)});
    for (const int call : {SCMP_SYS(munmap), SCMP_SYS(mremap), SCMP_SYS(brk), SCMP_SYS(madvise)})
        allow(call);
    // Threads of this process, never another process; signals to itself alone.
    allow(SCMP_SYS(clone), {SCMP_A0(SCMP_CMP_MASKED_EQ, CLONE_THREAD, CLONE_THREAD)});
    seccomp_rule_add(filter, SCMP_ACT_ERRNO(ENOSYS), SCMP_SYS(clone3), 0); // its flags cannot be read: the C library falls back to clone
    for (const int call : {SCMP_SYS(futex), SCMP_SYS(set_robust_list), SCMP_SYS(rseq), SCMP_SYS(sched_yield),
                           SCMP_SYS(sched_getaffinity), SCMP_SYS(exit), SCMP_SYS(exit_group), SCMP_SYS(rt_sigprocmask),
                           SCMP_SYS(rt_sigreturn), SCMP_SYS(rt_sigaction), SCMP_SYS(sigaltstack), SCMP_SYS(getpid),
                           SCMP_SYS(gettid), SCMP_SYS(getrandom), SCMP_SYS(clock_gettime), SCMP_SYS(clock_getres),
                           SCMP_SYS(gettimeofday), SCMP_SYS(nanosleep), SCMP_SYS(clock_nanosleep), SCMP_SYS(uname),
                           SCMP_SYS(sysinfo), SCMP_SYS(poll), SCMP_SYS(ppoll)})
        allow(call);
    const auto self = scmp_datum_t(getpid());
    allow(SCMP_SYS(tgkill), {SCMP_A0(SCMP_CMP_EQ, self)});
    allow(SCMP_SYS(kill), {SCMP_A0(SCMP_CMP_EQ, self)});
    allow(SCMP_SYS(prctl), {SCMP_A0(SCMP_CMP_EQ, PR_SET_NAME)});  // decoders name their threads
    allow(SCMP_SYS(prlimit64), {SCMP_A2(SCMP_CMP_EQ, 0)});        // limits read, never set
    // Until the picture is open: the request taken, and the rest of the sandbox entered.
    allow(SCMP_SYS(recvmsg), {SCMP_A0(SCMP_CMP_EQ, scmp_datum_t(channelDescriptor))});
    allow(SCMP_SYS(dup3), {SCMP_A1(SCMP_CMP_EQ, scmp_datum_t(channelDescriptor))});
    for (const int call : landlockCalls)
        allow(call);
    allow(SCMP_SYS(prctl), {SCMP_A0(SCMP_CMP_EQ, PR_SET_SECCOMP), SCMP_A1(SCMP_CMP_EQ, SECCOMP_MODE_FILTER)});
    return exported(filter, complete);
}

// Laid over the first once the picture is open: what was allowed until then, no longer.
std::vector<unsigned char> lastFilter()
{
    scmp_filter_ctx filter = seccomp_init(SCMP_ACT_ALLOW);
    if (!filter)
        return {};
    bool complete = true;
    for (const int call : {SCMP_SYS(recvmsg), SCMP_SYS(dup3), landlockCalls[0], landlockCalls[1], landlockCalls[2]})
        complete = complete && seccomp_rule_add(filter, SCMP_ACT_ERRNO(EPERM), call, 0) == 0;
    complete = complete
               && seccomp_rule_add(filter, SCMP_ACT_ERRNO(EPERM), SCMP_SYS(prctl), 1, SCMP_A0(SCMP_CMP_EQ, PR_SET_SECCOMP)) == 0;
    return exported(filter, complete);
}

// A picture made to exhaust memory fails like any unreadable one instead of pushing the desktop
// into swap; three quarters of the machine's memory still admit the largest picture the library
// accepts (2^30 pixels) wherever there is memory for it. The libraries and thread stacks already
// reserved count as well, and are left to it. 0 where no limit is to be set.
long long memoryLimit()
{
#ifdef VIREOSCOPE_SANITIZED // the address sanitizer's shadow memory reserves far more address space than that
    return 0;
#else
    const long long physical = static_cast<long long>(sysconf(_SC_PHYS_PAGES)) * sysconf(_SC_PAGESIZE);
    if (physical <= 0)
        return 0;
    long long reserved = 0;
    if (FILE *status = std::fopen("/proc/self/statm", "r")) {
        long long pages = 0;
        if (std::fscanf(status, "%lld", &pages) == 1)
            reserved = pages * sysconf(_SC_PAGESIZE);
        std::fclose(status);
    }
    return reserved + physical / 4 * 3;
#endif
}

} // namespace

Sandbox::Sandbox(int channelDescriptor)
    : filter(callFilter(channelDescriptor))
    , closingFilter(lastFilter())
    , addressSpace(memoryLimit())
{
}

std::string Sandbox::firstStep() const
{
    if (addressSpace > 0) {
        const rlimit limit = {rlim_t(addressSpace), rlim_t(addressSpace)};
        setrlimit(RLIMIT_AS, &limit);
    }
    std::string missing;
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
        missing += "no_new_privs ";
    if (!loaded(filter))
        missing += noSeccomp + std::string(" ");
    return missing;
}

void Sandbox::enterAwaitingRequest() const
{
    shortcomingsAwaiting = firstStep();
    awaitingRequest = true;
}

std::string Sandbox::enter(int pictureDescriptor) const
{
    std::string missing = restrictFiles(pictureDescriptor) ? "" : noLandlock + std::string(" ");
    const std::string before = awaitingRequest ? shortcomingsAwaiting : firstStep();
    missing += before;
    if (before.find(noSeccomp) == std::string::npos && !loaded(closingFilter))
        missing += noSeccomp + std::string(" ");
    return withoutAny(missing);
}

std::string sandboxShortcomings()
{
    std::string missing;
    if (syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION) < 1)
        missing += noLandlock + std::string(" ");
    if (prctl(PR_GET_SECCOMP, 0, 0, 0, 0) < 0)
        missing += noSeccomp + std::string(" ");
    return withoutAny(missing);
}

#else

Sandbox::Sandbox(int) {}

void Sandbox::enterAwaitingRequest() const {}

std::string Sandbox::enter(int) const
{
    return sandboxShortcomings();
}

std::string sandboxShortcomings()
{
    return "the decoder runs without a sandbox on this system";
}

#endif
