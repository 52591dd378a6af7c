"""Two interpreters, one with the package's shortcuts and one without, fed the same program.

Run as a script, this is a child: it reads JSON lines from stdin, {"reset": code} to start
a new namespace with `code` run in it, or {"run": statement} to run one statement there,
and answers each with one JSON line saying what came of it.  `Twin` starts two such
children, the second with `-X tavox-shortcuts=off`, and asks both the same things; every
answer must agree.
"""

import json
import os
import re
import select
import subprocess
import sys
import tempfile

ADDRESS = re.compile(r"0x[0-9a-fA-F]+")


def shown(value):
    """What a result looks like, without the addresses that differ between processes."""
    return ADDRESS.sub("0x?", repr(value))


def outcome(error):
    # A RecursionError's wording says where the limit was met, which is not the behaviour.
    if isinstance(error, RecursionError):
        return "raised RecursionError"
    return "raised %s: %s" % (type(error).__name__, ADDRESS.sub("0x?", str(error)))


def child():
    namespace = {}
    for line in sys.stdin:
        message = json.loads(line)
        try:
            if "reset" in message:
                namespace = {"__name__": "__twin__"}
                exec(message["reset"], namespace)
                answer = "ready"
            else:
                statement = message["run"]
                try:
                    code = compile(statement, "<twin>", "eval")
                except SyntaxError:
                    exec(statement, namespace)
                    answer = "done"
                else:
                    answer = shown(eval(code, namespace))
        except BaseException as error:  # noqa: B902 - every outcome is an answer
            answer = outcome(error)
        sys.stdout.write(json.dumps(answer) + "\n")
        sys.stdout.flush()


class Side:
    def __init__(self, name, options):
        self.name, self.options = name, options
        self.process = None

    def start(self):
        self.stderr = tempfile.TemporaryFile()  # a pipe could fill up with warnings
        self.process = subprocess.Popen(
            [sys.executable, *self.options, os.path.abspath(__file__)],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=self.stderr,
            text=True, bufsize=1, env=dict(os.environ, PYTHONHASHSEED="0"))  # the same hashes on both sides

    def ask(self, message, timeout=60):
        if self.process is None or self.process.poll() is not None:
            self.start()
        try:
            self.process.stdin.write(json.dumps(message) + "\n")
            self.process.stdin.flush()
            ready, _, _ = select.select([self.process.stdout], [], [], timeout)
            line = self.process.stdout.readline() if ready else ""
        except BrokenPipeError:
            line = ""
        if line:
            return json.loads(line)
        self.process.kill()
        code = self.process.wait()
        self.stderr.seek(0)
        said = self.stderr.read().decode(errors="replace")[-3000:]
        for stream in (self.process.stdin, self.process.stdout, self.stderr):
            try:
                stream.close()
            except OSError:
                pass  # the child is gone: its pipe may not flush
        self.process = None
        return "died (exit status %s, %s)\n%s" % (code, "timed out" if not ready else "no answer", said)

    def close(self):
        if self.process is not None:
            if self.process.poll() is None:
                self.process.stdin.close()
                self.process.wait(timeout=30)
            self.process.stdout.close()
            self.stderr.close()
        self.process = None


class Twin:
    """The same program, with shortcuts (as the package is) and without."""

    def __init__(self, *flags):
        self.sides = (Side("shortcuts", list(flags)), Side("no shortcuts", [*flags, "-X", "tavox-shortcuts=off"]))
        self.program = []

    def reset(self, setup):
        self.program = [setup]
        self._both({"reset": setup})

    def run(self, statement):
        self.program.append(statement)
        return self._both({"run": statement})

    def _both(self, message):
        on, off = (side.ask(message) for side in self.sides)
        if on != off or on.startswith("died"):
            raise AssertionError(
                "with and without shortcuts, the program\n%s\n---\ngave\n  %s\nand\n  %s"
                % ("\n".join(self.program), on, off))
        return on

    def close(self):
        for side in self.sides:
            side.close()


if __name__ == "__main__":
    child()
