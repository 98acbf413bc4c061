#!/usr/bin/python3
"""Prints the accessible objects of the named application as a screen reader sees them over
AT-SPI, one "role<TAB>name" line each; exits non-zero if the application does not appear."""
import sys
import time

import pyatspi


def walk(node):
    yield node
    for child in node:
        if child is not None:
            yield from walk(child)


def main():
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline:
        for application in pyatspi.Registry.getDesktop(0):
            if application is not None and application.name == sys.argv[1]:
                for node in walk(application):
                    print(f"{node.getRoleName()}\t{node.name}")
                return 0
        time.sleep(0.2)
    return 1


sys.exit(main())
