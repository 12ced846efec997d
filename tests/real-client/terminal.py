"""Runs a program in a pseudo-terminal and reads its screen as plain text,
so that an interactive Claude Code session can be driven as a person would."""
import fcntl
import os
import re
import struct
import subprocess
import termios
import threading
import time

# Claude Code draws a space as "cursor forward" when the cell already is blank.
FORWARD = re.compile(r"\x1b\[(\d*)C")
# Colours, cursor moves, mode switches and OSC titles: everything but the text.
ANSI = re.compile(r"\x1b\[[0-?]*[ -/]*[@-~]|\x1b\][^\x07\x1b]*(?:\x07|\x1b\\)|\x1b[PX^_][^\x1b]*\x1b\\|\x1b[@-Z\\-_]")


class Terminal:
    def __init__(self, argv, env, cwd, columns=120, rows=40):
        master, slave = os.openpty()
        fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", rows, columns, 0, 0))
        self.process = subprocess.Popen(argv, env=env, cwd=cwd, stdin=slave, stdout=slave, stderr=slave,
                                        start_new_session=True, close_fds=True)
        os.close(slave)
        self.master = master
        self.raw = bytearray()
        self.lock = threading.Lock()
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        while True:
            try:
                data = os.read(self.master, 65536)
            except OSError:  # EIO once the program and all its children are gone
                return
            if not data:
                return
            with self.lock:
                self.raw += data
            self._answer_queries(data)

    def _answer_queries(self, data):
        # A terminal answers these; a program that asks may wait for the answer.
        if b"\x1b[6n" in data:
            self.send("\x1b[1;1R")
        if b"\x1b[c" in data or b"\x1b[0c" in data:
            self.send("\x1b[?62;22c")

    def text(self):
        return self.since(0)

    def mark(self):
        """A position in the output, so that a later wait sees only what came after it."""
        with self.lock:
            return len(self.raw)

    def since(self, mark):
        with self.lock:
            raw = bytes(self.raw[mark:])
        text = FORWARD.sub(lambda m: " " * int(m.group(1) or 1), raw.decode("utf-8", "replace"))
        return ANSI.sub("", text)

    def shows(self, needle, mark=0):
        # Redraws split text at will; compare without white space.
        return "".join(needle.split()) in "".join(self.since(mark).split())

    def wait_for(self, needle, timeout, mark=0):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.shows(needle, mark):
                return True
            if self.process.poll() is not None:
                time.sleep(0.1)  # let the reader drain what was left
                return self.shows(needle, mark)
            time.sleep(0.05)
        return False

    def send(self, text):
        try:
            os.write(self.master, text.encode())
        except OSError:
            pass

    def type_line(self, text):
        # Typed text and Enter sent together read as a paste, in which Enter
        # is a new line rather than a submit: send them apart.
        self.send(text)
        time.sleep(0.4)
        self.send("\r")

    def wait_exit(self, timeout):
        try:
            return self.process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            return None

    def close(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        self.reader.join(timeout=2)
        try:
            os.close(self.master)
        except OSError:
            pass
