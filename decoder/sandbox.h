#ifndef SANDBOX_H
#define SANDBOX_H

#include <string>
#include <vector>

// The decoder's sandbox. Entered, it shuts the process in for the rest of its life: it may read
// the one picture it has open (also reopened by name through /proc/self/fd), use memory and
// threads, and write to the window's channel and to standard error; nothing else. No new program,
// no socket, no file written or created, no signal to another process, no other file read or
// asked about, and memory, threads and processor time bounded. The process holds its error pipe
// as its standard descriptors and its channel next, at the lowest numbers; the rest are the
// picture's. Enter it after every library the decode needs has loaded and the picture is
// open, before the picture's first byte is read. It is made ready before the picture is known, by
// the process that will enter it, for the channel it will write to: building the system-call
// filter takes longer than all the rest. Each thread that is to run once the picture is read must
// enter it; threads started after that inherit it.
class Sandbox
{
public:
    explicit Sandbox(int channelDescriptor);
    // The first step, taken while the process waits for its picture, so that the picture's load
    // does not wait for it (loading the call filter takes longer than all the rest): limits set,
    // no new privileges, and the call filter, which still lets the thread take one
    // request on the channel's descriptor and put the request's own channel in its place.
    void enterAwaitingRequest() const;
    // The rest, once the picture is open, and the first step too if the thread has not taken it:
    // the thread may read the picture alone (none with -1, for a thread that reads no picture),
    // and take no request. Returns what the system could not provide (an old kernel, another
    // system), to be said once on standard error; the decode goes on without it.
    std::string enter(int pictureDescriptor) const;

private:
    std::string firstStep() const;

    // The filters' instructions, as the kernel takes them; empty if none.
    std::vector<unsigned char> filter, closingFilter;
    long long addressSpace = 0; // the limit to the process's address space; 0 for none
    long long tasks = 0;        // to the threads the user may run, this process's among them
};

// What Sandbox::enter would find missing on this system, asked without entering it.
std::string sandboxShortcomings();

#endif
