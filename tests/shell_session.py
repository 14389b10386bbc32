#!/usr/bin/env python3
"""quillhost as a person uses it: typed at a terminal (a pseudo-terminal here), with a fresh HOME.

Usage: shell_session.py [--emulator=PROGRAM] QUILLHOST MODULE

Checks help, pools, quit, //! reload and its question when changes would be lost, the message
for a Squirrel statement that is no call, the reason shown after a load or save that gives false,
and, where libedit is found (help says which), that the history is written to ~/.quillhost_history
and read back by the next session. Every wait is for text to appear, never for time to pass;
only a generous watchdog ends a session that hangs.
"""
import os
import pty
import re
import select
import shutil
import signal
import sys
import tempfile

WATCHDOG_SECONDS = 300
UP = "\x1b[A"


class Session:
    def __init__(self, argv, home, workdir):
        # A UTF-8 locale, as a person's terminal has, so that typed text keeps its characters.
        env = dict(os.environ, HOME=home, TERM="xterm", LC_ALL="C.UTF-8")
        pid, fd = pty.fork()
        if pid == 0:
            os.chdir(workdir)
            try:
                os.execvpe(argv[0], argv, env)
            finally:
                os._exit(126)
        self.pid, self.fd = pid, fd
        self.seen = ""  # everything the session wrote so far
        self.mark = 0  # where the text since the last expectation starts

    def send(self, text):
        os.write(self.fd, text.encode())

    def _read(self):
        ready, _, _ = select.select([self.fd], [], [], WATCHDOG_SECONDS)
        if not ready:
            fail("the session wrote nothing for %d s" % WATCHDOG_SECONDS, self)
        try:
            data = os.read(self.fd, 4096)
        except OSError:  # the terminal closes when the program ends
            data = b""
        self.seen += data.decode("utf-8", "replace")
        return bool(data)

    def expect(self, pattern, what):
        """Waits until the text since the last expectation matches; returns that text."""
        regex = re.compile(pattern)
        while not regex.search(self.seen, self.mark):
            if not self._read():
                fail("the session ended before %s (%r)" % (what, pattern), self)
        match = regex.search(self.seen, self.mark)
        text = self.seen[self.mark:match.end()]
        self.mark = match.end()
        return text

    def prompt(self, what):
        return self.expect(r"quill> ", what)

    def run(self, line, what=None):
        """Types a line after the prompt; what the session wrote up to its next prompt."""
        self.send(line + "\n")
        return self.prompt(what or line)

    def run_expecting(self, line, part):
        text = self.run(line)
        if part not in text:
            fail("%s did not give %s" % (line, part), self)
        return text

    def finish(self):
        """Reads to the end; the exit status."""
        while self._read():
            pass
        _, status = os.waitpid(self.pid, 0)
        os.close(self.fd)
        return os.waitstatus_to_exitcode(status)


def fail(message, session=None):
    print("shell_session: " + message, file=sys.stderr)
    if session is not None:
        print("--- the session so far:\n" + session.seen, file=sys.stderr)
        try:
            os.kill(session.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
    sys.exit(1)


def main():
    args = sys.argv[1:]
    emulator = []
    if args and args[0].startswith("--emulator="):
        emulator = [args.pop(0)[len("--emulator="):]]
        emulator = [word for word in emulator if word]
    if len(args) != 2:
        fail("usage: shell_session.py [--emulator=PROGRAM] QUILLHOST MODULE")
    argv = emulator + [os.path.abspath(args[0]), os.path.abspath(args[1])]
    root = tempfile.mkdtemp(prefix="quill-shell-")
    try:
        home = os.path.join(root, "home")
        work = os.path.join(root, "work")
        os.mkdir(home)
        os.mkdir(work)
        history = os.path.join(home, ".quillhost_history")

        s = Session(argv, home, work)
        s.prompt("the first prompt")
        text = s.run("help")
        for word in ("pools", "quit", "//! reload"):
            if word not in text:
                fail("help does not mention %s" % word, s)
        editing = "libedit" in text and "history in" in text
        if not editing and "No line editing" not in text:
            fail("help does not say whether lines can be edited", s)

        # A load or save that gives false is followed by the pool's reason; one that works, by
        # nothing more.
        s.run_expecting('HLoad("fruit", "fruit.pool")',
                        '= false\r\n  load "fruit.pool": the file does not exist (')
        s.run_expecting('HAdd("fruit", "pear", 3)', "= true")
        s.run_expecting('HLoad("here", ".")', '= false\r\n  load ".": it is a folder, not a file')
        s.run_expecting('HSave("here")', '= false\r\n  save ".": it is a folder, not a file')
        s.run_expecting('HClose("here")', "= true")
        if "  " in s.run_expecting('HSave("fruit")', "= true\r\n").replace("\r\n", "|"):
            fail("a save that worked was given a reason", s)
        s.run_expecting('HLoad("grüße", "ü.pool")', "= false")
        text = s.run("pools")
        if '"fruit": 1 entry, file "fruit.pool"\r\n' not in text or \
                '"grüße": 0 entries, file "ü.pool" (its load failed)' not in text:
            fail("pools misses an open pool, shows a failed load as a file loaded from, or the "
                 "text typed lost its characters", s)
        s.run_expecting('HClose("grüße")', "= true")
        text = s.run("pools")
        if '"fruit": 1 entry' not in text or "grüße" in text:
            fail("pools lists a closed pool", s)

        # A file with CRLF line ends (Notepad's) loads true with a carriage return in every key:
        # the load is as it was, and a line after it, and pools, say why no key is found.
        with open(os.path.join(work, "notepad.pool"), "wb") as f:
            f.write(b"k\r\nv\r\nj\r\nw\r\n")
        text = s.run_expecting('HLoad("np", "notepad.pool")', "= true\r\n  2 keys end in a "
                               "carriage return, which the load keeps: the file has CRLF line ends")
        if "quillstore fix notepad.pool" not in text:
            fail("the line after a CRLF file's load does not say how to repair it", s)
        s.run_expecting('HHas("np", "k")', "= false")
        if "carriage return" in s.run_expecting('HLoad("fruit", "fruit.pool")', "= true"):
            fail("a file with line feeds alone was said to end its keys in carriage returns", s)
        s.run_expecting("pools", '"np": 2 entries, file "notepad.pool", 2 keys end in a '
                        "carriage return (CRLF line ends)")
        s.run_expecting('HClose("np")', "= true")

        text = s.run('for (local i = 0; i < HCount("fruit"); i++) print(HKey("fruit", i))')
        if "print(name(arguments))" not in text or "docs/tools.md" not in text:
            fail("a loop is not told what quillhost runs", s)
        # A call split over lines waits for its end; print prints what the call gives.
        s.send('print(HGet("fruit",\n')
        s.expect(r"\.\.\.\.\.\. ", "the prompt for the rest of a split call")
        text = s.run('  "pear"))')
        if not re.search(r"^3\r?$", text, re.M):
            fail("a split print(HGet(...)) did not print the value", s)

        # A reload with changes that no HSave wrote names those pools and asks first: no
        # answer, and the end of input (Ctrl-D), keep them; y reloads. A missing key that HGet
        # enters is no change, nor are changes a load or save put behind.
        s.run_expecting('HGet("fruit", "plum")', "= null")
        s.run_expecting('HLoad("nuts", "nuts.pool")', "= false")
        s.run_expecting('HAdd("nuts", "cashew", 1)', "= true")
        s.run_expecting('HInc("fruit", "pear")', "= true")
        question = "reload and drop them? [y/N] "
        s.send("//! reload\n")
        text = s.expect(re.escape(question), "the question before a reload")
        if '(pool "fruit" has changes that no HSave wrote' not in text or \
                '(pool "nuts" has changes' not in text:
            fail("a reload did not name the pools whose changes it drops", s)
        if "plum" in text or "Quillstore plugin loaded." in text:
            fail("a reload named a change that is none, or reloaded before the answer", s)
        text = s.run("", "the prompt after no answer")
        if "(not reloaded)" not in text or "Quillstore plugin loaded." in text:
            fail("no answer reloaded the module", s)
        s.run_expecting('HGet("nuts", "cashew")', "= 1")
        s.run_expecting('HSave("fruit")', "= true")
        s.send("//! reload\n")
        text = s.expect(re.escape(question), "the question before the second reload")
        if "fruit" in text or '(pool "nuts"' not in text:
            fail("a reload named a pool saved since its change, or missed one", s)
        s.send("\x04")
        text = s.prompt("the prompt after Ctrl-D")
        if "(not reloaded)" not in text or "Quillstore plugin loaded." in text:
            fail("the end of input answered yes", s)
        s.run_expecting('HCount("nuts")', "= 1")
        s.send("//! reload\n")
        s.expect(re.escape(question), "the question before the third reload")
        text = s.run("y", "the prompt after yes")
        if "Quillstore plugin loaded." not in text or "(not reloaded)" in text:
            fail("y did not reload the module", s)
        s.run_expecting('HCount("nuts")', "= null")

        # A restart: the functions come back at once, the pools are gone.
        text = s.run("//! reload")
        if "Quillstore plugin loaded." not in text or "//! ready" not in text:
            fail("//! reload did not restart the module", s)
        s.run_expecting("pools", "(no open pools)")
        s.run_expecting('HCount("fruit")', "= null")

        if editing:
            # The last line again, from the history.
            s.run_expecting(UP, "= null")
        # A folder is said to be one, not shown as an empty file.
        s.run_expecting("//! cat .", "(. is no regular file: a folder, device or pipe)")
        # A VM error is told where it happens; the session's status stays 0 for it.
        s.run_expecting('HCount(1)', "error: ")
        # quit with changes that no HSave wrote asks as a reload does: no answer stays, y leaves.
        s.run_expecting('HLoad("left", "left.pool")', "= false")
        s.run_expecting('HAdd("left", "k", 1)', "= true")
        s.send("quit\n")
        text = s.expect(re.escape("leave and drop them? [y/N] "), "the question before leaving")
        if '(pool "left" has changes that no HSave wrote: leaving drops them)' not in text:
            fail("quit did not name the pool whose changes it drops", s)
        text = s.run("", "the prompt after no answer to quit")
        if "(not left" not in text or "//! shutdown" in text:
            fail("no answer to quit left the session", s)
        s.send("quit()\n")
        s.expect(re.escape("leave and drop them? [y/N] "), "the question before quit()")
        s.send("y\n")
        status = s.finish()
        if status != 0:
            fail("quit() after a VM error ended the session with status %d" % status, s)
        if "//! shutdown" not in s.seen[s.mark:]:
            fail("quit() did not shut the module down", s)

        if not editing:
            if os.path.exists(history):
                fail("a history file was written without line editing")
            print("libedit not found: plain lines, no history (checked)")
            return
        with open(history, encoding="utf-8", errors="replace") as f:
            saved = f.read()
        if "pools" not in saved or "HAdd(" not in saved:
            fail("the history file lacks the session's lines:\n" + saved)
        if "y" in saved.splitlines():
            fail("the answer to the reload's question went into the history:\n" + saved)
        # The next session finds the last line of this one, quit(), under the Up key.
        s = Session(argv, home, work)
        s.prompt("the first prompt of the second session")
        s.send(UP + "\n")
        status = s.finish()
        if status != 0 or "//! shutdown" not in s.seen:
            fail("the history of the first session was not read back", s)
        print("libedit found: line editing and history (checked)")
    finally:
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
