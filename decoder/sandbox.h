#ifndef SANDBOX_H
#define SANDBOX_H

#include <string>
#include <vector>

// The decoder's sandbox. Entered, it shuts the process in for the rest of its life: it may read
// the one picture it has open (also reopened by name through /proc/self/fd), use memory and
// threads, and write to the window's channel and to standard error; nothing else. No new program,
// no socket, no file written or created, no signal to another process, no other file read, and
// memory bounded. Enter it after every library the decode needs has loaded and the picture is
// open, before the picture's first byte is read. It is made ready before the picture is known, by
// the process that will enter it, for the channel it will write to: building the system-call
// filter takes longer than all the rest. Each thread that is to run once the picture is read must
// enter it; threads started after that inherit it.
class Sandbox
{
public:
    explicit Sandbox(int channelDescriptor);
    // Returns what the system could not provide (an old kernel, another system), to be said once
    // on standard error; the decode goes on without it.
    std::string enter(int pictureDescriptor) const;

private:
    std::vector<unsigned char> filter; // the filter's instructions, as the kernel takes them; empty if none
    long long addressSpace = 0;        // the limit to the process's address space; 0 for none
};

// What Sandbox::enter would find missing on this system, asked without entering it.
std::string sandboxShortcomings();

#endif
