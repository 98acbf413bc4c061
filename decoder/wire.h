#ifndef WIRE_H
#define WIRE_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#ifndef _WIN32
#include <sys/socket.h>
#endif

// What the window and its decoder say to each other, in the byte order of the machine both run
// on. The decoder, started once, says on its socket that it is ready, its libraries loaded. For
// each picture the window sends it a request (the path) with the sending end of a new channel,
// and once it no longer wants the newest load (overtaken, or its frames shown) a request with no
// path and no channel, after which the decoder ends that load's process. The decoder first says
// on the channel which process has the picture (its id, for the curious: nobody is signalled by
// it); that process then sends any number of progress messages, then either the frames, or that
// the picture could not be read.
// Every size is fixed or bounded, and checked on arrival.
namespace wire {

struct Request
{
    std::uint32_t pathBytes; // then that many bytes of the path, as the system names files
};
constexpr std::uint32_t longestPath = 1 << 16;

enum Kind : std::uint32_t {
    progress = 1, // first: rows decoded, second: rows to go (0 while unknown)
    frames = 2,   // first and second: the picture's width and height; then the frames' bytes
    failed = 3,   // the picture could not be read; first and second are 0
    ready = 4,    // the decoder has loaded its libraries and waits for requests; first and second are 0
    started = 5,  // from the decoder: a picture's process has the request; first: its process id
};

struct Message
{
    std::uint32_t kind;
    std::int32_t first;
    std::int32_t second;
};

// The six frames follow a frames message in the order the window shows them, each at display
// size, row after row with no gaps: the picture (RGB), gray, the 1 x 1 blur (RGB), Sobel,
// Laplacian, the weighted gray (RGB).
constexpr int frameWidth = 256;
constexpr int frameHeight = 192;
constexpr int frameChannels[6] = {3, 1, 3, 1, 1, 3};
constexpr std::size_t framesBytes = std::size_t(frameWidth) * frameHeight * (3 + 1 + 3 + 1 + 1 + 3);

// The largest side of a picture the library decodes, whatever its limits are set to.
constexpr std::int32_t largestSide = 1 << 24;

inline bool isWellFormed(const Message &message)
{
    switch (message.kind) {
    case progress:
        return message.first >= 0 && message.second >= 0 && (message.second == 0 || message.first <= message.second);
    case frames:
        return message.first > 0 && message.second > 0 && message.first <= largestSide && message.second <= largestSide;
    case failed:
    case ready:
        return message.first == 0 && message.second == 0;
    case started:
        return message.first > 0 && message.second == 0;
    default:
        return false;
    }
}

#ifndef _WIN32
// Sends a request, the path and the channel's sending end, in one message; false if the path is
// too long or the other end has gone.
inline bool sendRequest(int socket, const std::string &path, int channel)
{
    if (path.empty() || path.size() > longestPath)
        return false;
    const Request request = {std::uint32_t(path.size())};
    std::string bytes(reinterpret_cast<const char *>(&request), sizeof request);
    bytes += path;
    iovec data = {bytes.data(), bytes.size()};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr message = {};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr *rights = CMSG_FIRSTHDR(&message);
    rights->cmsg_level = SOL_SOCKET;
    rights->cmsg_type = SCM_RIGHTS;
    rights->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(rights), &channel, sizeof(int));
    return sendmsg(socket, &message, MSG_NOSIGNAL) == ssize_t(bytes.size());
}

// Has the decoder end the newest load's process, if it still runs.
inline bool sendEnd(int socket)
{
    const Request request = {0};
    return send(socket, &request, sizeof request, MSG_NOSIGNAL) == ssize_t(sizeof request);
}
#endif

} // namespace wire

#endif
