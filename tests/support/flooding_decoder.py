#!/usr/bin/env python3
# A decoder gone wrong, for the window's tests: it answers the first load with a flood of
# progress messages for five seconds, far more than any decode sends, and every later load with
# black frames.
import os
import socket
import struct
import sys
import time

PROGRESS, FRAMES, READY, STARTED = 1, 2, 4, 5
FRAMES_BYTES = 256 * 192 * (3 + 1 + 3 + 1 + 1 + 3)


def message(kind, first=0, second=0):
    return struct.pack("=Iii", kind, first, second)


window = socket.socket(fileno=int(sys.argv[1]))
window.send(message(READY))
loads = 0
while True:
    request, channels, _, _ = socket.recv_fds(window, 1 << 17, 1)
    if not request:
        break
    if not channels:  # the window ends its load
        continue
    with os.fdopen(channels[0], "wb", buffering=0) as channel:
        try:
            channel.write(message(STARTED, os.getpid()))
            if loads == 0:
                flood = message(PROGRESS, 1, 2) * 10000
                flooding = time.monotonic() + 5
                while time.monotonic() < flooding:
                    channel.write(flood)
            else:
                channel.write(message(FRAMES, 256, 192) + bytes(FRAMES_BYTES))
        except BrokenPipeError:  # the window has given up on this load
            pass
    loads += 1
