#ifndef SANDBOX_H
#define SANDBOX_H

#include <string>

// Shuts the decoder in, for the rest of its life: it may read the one picture it has open (also
// reopened by name through /proc/self/fd), use memory and threads, and write to the window's
// channel and to standard error; nothing else. No new program, no socket, no file written or
// created, no signal to another process, no other file read, and memory bounded. Call it after
// every library the decode needs has loaded and the picture is open, before the picture's first
// byte is read. Returns what the system could not provide (an old kernel, another system), to
// be said once on standard error; the decode goes on without it.
std::string enterSandbox(int pictureDescriptor, int channelDescriptor);

// What enterSandbox would find missing on this system, asked without entering it.
std::string sandboxShortcomings();

#endif
