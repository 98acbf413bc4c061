#include "sandbox.h"

#if defined(__linux__)

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>
#include <thread>
#include <vector>

#include <dirent.h>
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
#include <ucontext.h>
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
#ifndef LANDLOCK_ACCESS_NET_BIND_TCP
#define LANDLOCK_ACCESS_NET_BIND_TCP (1ULL << 0)
#define LANDLOCK_ACCESS_NET_CONNECT_TCP (1ULL << 1)
#endif
#ifndef LANDLOCK_SCOPE_ABSTRACT_UNIX_SOCKET
#define LANDLOCK_SCOPE_ABSTRACT_UNIX_SOCKET (1ULL << 0)
#define LANDLOCK_SCOPE_SIGNAL (1ULL << 1)
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

// The ruleset's attributes as later kernels take them; the fields an older kernel does not know
// are left out of the size it is given.
struct RulesetAttributes
{
    std::uint64_t handledFiles = 0, handledNetwork = 0, scoped = 0;
};

// Every right the running kernel's Landlock knows is taken away (files, TCP, signals and abstract
// sockets beyond the process's own), but reading the picture itself, if there is one. False where
// the kernel has no Landlock.
bool restrictWithLandlock(int pictureDescriptor)
{
    const long abi = syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
    if (abi < 1)
        return false;
    RulesetAttributes attributes;
    attributes.handledFiles = LANDLOCK_ACCESS_FS_EXECUTE | LANDLOCK_ACCESS_FS_WRITE_FILE | LANDLOCK_ACCESS_FS_READ_FILE
                              | LANDLOCK_ACCESS_FS_READ_DIR | LANDLOCK_ACCESS_FS_REMOVE_DIR
                              | LANDLOCK_ACCESS_FS_REMOVE_FILE | LANDLOCK_ACCESS_FS_MAKE_CHAR
                              | LANDLOCK_ACCESS_FS_MAKE_DIR | LANDLOCK_ACCESS_FS_MAKE_REG | LANDLOCK_ACCESS_FS_MAKE_SOCK
                              | LANDLOCK_ACCESS_FS_MAKE_FIFO | LANDLOCK_ACCESS_FS_MAKE_BLOCK | LANDLOCK_ACCESS_FS_MAKE_SYM;
    if (abi >= 2)
        attributes.handledFiles |= LANDLOCK_ACCESS_FS_REFER;
    if (abi >= 3)
        attributes.handledFiles |= LANDLOCK_ACCESS_FS_TRUNCATE;
    if (abi >= 5)
        attributes.handledFiles |= LANDLOCK_ACCESS_FS_IOCTL_DEV;
    std::size_t size = sizeof attributes.handledFiles;
    if (abi >= 4) {
        attributes.handledNetwork = LANDLOCK_ACCESS_NET_BIND_TCP | LANDLOCK_ACCESS_NET_CONNECT_TCP;
        size += sizeof attributes.handledNetwork;
    }
    if (abi >= 6) {
        attributes.scoped = LANDLOCK_SCOPE_ABSTRACT_UNIX_SOCKET | LANDLOCK_SCOPE_SIGNAL;
        size += sizeof attributes.scoped;
    }
    const int ruleset = int(syscall(SYS_landlock_create_ruleset, &attributes, size, 0));
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

// Calls the filter cannot judge by their arguments alone are trapped, and answered here with
// what they may know:
// - the status of an open descriptor: the C library asks it with newfstatat and an empty path,
//   which the filter cannot tell from a path; answered with fstat, refused with a path;
// - the processors a thread may run on: the C library asks it of each of the process's own
//   threads by their ids, which the filter cannot tell from other processes'; answered with the
//   calling thread's, which is all of them, and nothing of another process.
void answerTrappedCall(int, siginfo_t *call, void *context)
{
#if defined(__x86_64__)
    greg_t *registers = static_cast<ucontext_t *>(context)->uc_mcontext.gregs;
    const int savedErrno = errno;
    const auto answer = [](long result) { return result >= 0 ? result : -errno; };
    const auto *path = reinterpret_cast<const char *>(registers[REG_RSI]);
    if (call->si_syscall == SYS_newfstatat && path && *path == '\0' && (registers[REG_R10] & AT_EMPTY_PATH))
        registers[REG_RAX] = answer(syscall(SYS_fstat, registers[REG_RDI], registers[REG_RDX]));
    else if (call->si_syscall == SYS_sched_getaffinity)
        registers[REG_RAX] = answer(syscall(SYS_sched_getaffinity, 0, registers[REG_RSI], registers[REG_RDX]));
    else
        registers[REG_RAX] = -EPERM;
    errno = savedErrno;
#else
    (void)call;
    (void)context;
#endif
}

// Allows what decoding needs, and taking the request on the channel's descriptor, which the
// request's channel then takes; every other call fails with EPERM. The descriptors up to the
// channel's are the process's standing ones (its error pipe, then the channel): written, never
// read, sought, changed or closed, so that no other file can take their numbers.
std::vector<unsigned char> callFilter(int channelDescriptor)
{
    scmp_filter_ctx filter = seccomp_init(SCMP_ACT_ERRNO(EPERM));
    if (!filter)
        return {};
    // Calls are found by a binary search, not one after the other.
    seccomp_attr_set(filter, SCMP_FLTATR_CTL_OPTIMIZE, 2);
    bool complete = true;
    const auto rule = [&](std::uint32_t action, int call, std::initializer_list<scmp_arg_cmp> conditions = {}) {
        // A call this architecture lacks needs no rule.
        if (call < 0 && seccomp_syscall_resolve_num_arch(SCMP_ARCH_NATIVE, call) == nullptr)
            return;
        if (seccomp_rule_add_array(filter, action, call, unsigned(conditions.size()), conditions.begin()) != 0)
            complete = false;
    };
    const auto allow = [&](int call, std::initializer_list<scmp_arg_cmp> conditions = {}) {
        rule(SCMP_ACT_ALLOW, call, conditions);
    };
    const scmp_arg_cmp openedHere = SCMP_A0(SCMP_CMP_GT, scmp_datum_t(channelDescriptor));
    // Reading the picture and what it opens itself; nothing opened for writing or created, and no
    // path opened but to read it.
    for (const int call : {SCMP_SYS(read), SCMP_SYS(readv), SCMP_SYS(pread64), SCMP_SYS(preadv), SCMP_SYS(lseek),
                           SCMP_SYS(close), SCMP_SYS(fcntl)})
        allow(call, {openedHere});
    allow(SCMP_SYS(fstat));
#if defined(__x86_64__)
    rule(SCMP_ACT_TRAP, SCMP_SYS(newfstatat));
#else
    allow(SCMP_SYS(newfstatat), {SCMP_A3(SCMP_CMP_MASKED_EQ, AT_EMPTY_PATH, AT_EMPTY_PATH)});
#endif
    rule(SCMP_ACT_ERRNO(ENOSYS), SCMP_SYS(statx)); // the C library then asks newfstatat
    const scmp_datum_t writing = O_WRONLY | O_RDWR | O_CREAT | O_TRUNC | O_APPEND | O_PATH | (O_TMPFILE & ~O_DIRECTORY);
    allow(SCMP_SYS(openat), {SCMP_A2(SCMP_CMP_MASKED_EQ, writing, 0)});
    allow(SCMP_SYS(open), {SCMP_A1(SCMP_CMP_MASKED_EQ, writing, 0)});
    // Writing only to the window's channel and to the error pipe (standard output and error).
    for (const int descriptor : {channelDescriptor, STDOUT_FILENO, STDERR_FILENO}) {
        allow(SCMP_SYS(write), {SCMP_A0(SCMP_CMP_EQ, scmp_datum_t(descriptor))});
        allow(SCMP_SYS(writev), {SCMP_A0(SCMP_CMP_EQ, scmp_datum_t(descriptor))});
    }
    allow(SCMP_SYS(vmsplice), {SCMP_A0(SCMP_CMP_EQ, scmp_datum_t(channelDescriptor))});
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
    // Threads of this process, never another process; signals to itself alone. A call the kernel
    // interrupted to stop the process is resumed through restart_syscall once it continues.
    allow(SCMP_SYS(clone), {SCMP_A0(SCMP_CMP_MASKED_EQ, CLONE_THREAD, CLONE_THREAD)});
    rule(SCMP_ACT_ERRNO(ENOSYS), SCMP_SYS(clone3)); // its flags cannot be read: the C library falls back to clone
    for (const int call : {SCMP_SYS(futex), SCMP_SYS(set_robust_list), SCMP_SYS(rseq), SCMP_SYS(sched_yield),
                           SCMP_SYS(exit), SCMP_SYS(exit_group), SCMP_SYS(rt_sigprocmask), SCMP_SYS(rt_sigreturn),
                           SCMP_SYS(restart_syscall), SCMP_SYS(rt_sigaction), SCMP_SYS(sigaltstack), SCMP_SYS(getpid),
                           SCMP_SYS(gettid), SCMP_SYS(getrandom), SCMP_SYS(clock_gettime), SCMP_SYS(clock_getres),
                           SCMP_SYS(gettimeofday), SCMP_SYS(nanosleep), SCMP_SYS(clock_nanosleep), SCMP_SYS(uname),
                           SCMP_SYS(sysinfo), SCMP_SYS(poll), SCMP_SYS(ppoll)})
        allow(call);
    const auto self = scmp_datum_t(getpid());
    allow(SCMP_SYS(tgkill), {SCMP_A0(SCMP_CMP_EQ, self)});
    allow(SCMP_SYS(kill), {SCMP_A0(SCMP_CMP_EQ, self)});
    for (const scmp_datum_t process : {scmp_datum_t(0), self}) // 0 is the caller
        allow(SCMP_SYS(prlimit64), {SCMP_A0(SCMP_CMP_EQ, process), SCMP_A2(SCMP_CMP_EQ, 0)}); // read, never set
#if defined(__x86_64__)
    allow(SCMP_SYS(sched_getaffinity), {SCMP_A0(SCMP_CMP_EQ, 0)});
    rule(SCMP_ACT_TRAP, SCMP_SYS(sched_getaffinity), {SCMP_A0(SCMP_CMP_NE, 0)});
#else
    allow(SCMP_SYS(sched_getaffinity));
#endif
    allow(SCMP_SYS(prctl), {SCMP_A0(SCMP_CMP_EQ, PR_SET_NAME)});  // decoders name their threads
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

// The threads a picture's process may run: as many as the user runs now in all processes (the
// system counts them all against the limit), and room on top for every decoder's threads on every
// core, but no more. A privileged user's processes are not held to it.
long long taskLimit()
{
    const long long user = getuid();
    long long tasks = 0;
    if (DIR *processes = opendir("/proc")) {
        while (const dirent *process = readdir(processes)) {
            if (process->d_name[0] < '1' || process->d_name[0] > '9')
                continue;
            const std::string path = "/proc/" + std::string(process->d_name) + "/status";
            const int status = open(path.c_str(), O_RDONLY | O_CLOEXEC);
            char text[4096];
            const ssize_t got = status >= 0 ? read(status, text, sizeof text - 1) : -1;
            if (status >= 0)
                close(status);
            text[std::max<ssize_t>(got, 0)] = '\0';
            const char *owner = std::strstr(text, "\nUid:");
            const char *threads = std::strstr(text, "\nThreads:");
            if (owner && threads && std::strtoll(owner + 5, nullptr, 10) == user)
                tasks += std::strtoll(threads + 9, nullptr, 10);
        }
        closedir(processes);
    }
    return tasks + 64 + 8 * std::max(1u, std::thread::hardware_concurrency());
}

// Processor time for the largest picture the library accepts, at a fraction of this machine's
// speed, and no more.
constexpr rlim_t processorSeconds = 30 * 60;

void setLimit(int resource, rlim_t value)
{
    const rlimit limit = {value, value};
    setrlimit(resource, &limit);
}

} // namespace

Sandbox::Sandbox(int channelDescriptor)
    : filter(callFilter(channelDescriptor))
    , closingFilter(lastFilter())
    , addressSpace(memoryLimit())
    , tasks(taskLimit())
{
}

std::string Sandbox::firstStep() const
{
    if (addressSpace > 0)
        setLimit(RLIMIT_AS, rlim_t(addressSpace));
    setLimit(RLIMIT_CORE, 0);  // a crash leaves no file
    setLimit(RLIMIT_FSIZE, 0); // nor does anything else
    setLimit(RLIMIT_CPU, processorSeconds);
    setLimit(RLIMIT_NPROC, rlim_t(tasks));
    std::string missing;
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
        missing += "no_new_privs ";
    struct sigaction trapped = {};
    trapped.sa_sigaction = answerTrappedCall;
    trapped.sa_flags = SA_SIGINFO;
    if (sigaction(SIGSYS, &trapped, nullptr) != 0 || !loaded(filter))
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
    // No new privileges first: Landlock refuses a thread of an unprivileged user without them.
    const std::string before = awaitingRequest ? shortcomingsAwaiting : firstStep();
    std::string missing = restrictWithLandlock(pictureDescriptor) ? "" : noLandlock + std::string(" ");
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
