#!/usr/bin/env python3
"""Runs a program on a pseudo-terminal, as a user at a terminal would.

usage: on_a_terminal.py PROMPT ANSWER PROGRAM [ARGUMENT]...

Once PROMPT has appeared in what the program wrote, ANSWER and a line end are typed. Everything
the terminal showed goes to standard output; the exit status is the program's.
"""
import os
import pty
import sys


def main():
    prompt, answer, argv = sys.argv[1].encode(), sys.argv[2].encode(), sys.argv[3:]
    pid, fd = pty.fork()
    if pid == 0:
        os.execvp(argv[0], argv)
    shown = b""
    answered = False
    while True:
        try:
            chunk = os.read(fd, 4096)
        except OSError:
            break
        if not chunk:
            break
        shown += chunk
        if not answered and prompt in shown:
            os.write(fd, answer + b"\n")
            answered = True
    _, status = os.waitpid(pid, 0)
    sys.stdout.buffer.write(shown)
    sys.exit(os.waitstatus_to_exitcode(status))


main()
