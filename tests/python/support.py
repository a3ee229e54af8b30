"""What the Python tests share: a private endpoint directory per test
process, and norvctl (the C++ peer) run as a child process."""

import os
import shutil
import subprocess
import tempfile
import threading
import time
import unittest

NORVCTL = os.environ.get("NORV_NORVCTL", "norvctl")


class EndpointTestCase(unittest.TestCase):
    """Gives every test its own NORV_PIPE_DIR, which norvctl inherits."""

    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="norv-py-")
        self.endpoints = os.path.join(self.root, "e")
        os.environ["NORV_PIPE_DIR"] = self.endpoints
        self.addCleanup(shutil.rmtree, self.root, True)
        self.addCleanup(os.environ.pop, "NORV_PIPE_DIR", None)

    def norvctl(self, *args, stdin="", env=None):
        """Runs norvctl to its end: (exit status, stdout, stderr)."""
        done = subprocess.run([NORVCTL, *args], input=stdin, capture_output=True, text=True,
                              timeout=60, env=dict(os.environ, **(env or {})))
        return done.returncode, done.stdout, done.stderr

    def start_norvctl(self, *args):
        """Starts a long-running norvctl with pipes on every stream."""
        child = subprocess.Popen([NORVCTL, *args], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                 stderr=subprocess.PIPE, text=True, bufsize=1)
        self.addCleanup(self._reap, child)
        return child

    @staticmethod
    def _reap(child):
        """Kills a child still running and closes its pipes."""
        if child.poll() is None:
            child.kill()
        child.wait(10)
        for stream in (child.stdin, child.stdout, child.stderr):
            if stream is not None:
                stream.close()

    def read_line(self, child, timeout=15):
        """The next line the child prints, failing the test after `timeout`."""
        line = []
        reader = threading.Thread(target=lambda: line.append(child.stdout.readline()))
        reader.daemon = True
        reader.start()
        reader.join(timeout)
        if not line:
            self.fail("no output from norvctl within %d s" % timeout)
        return line[0].rstrip("\n")

    def wait_until(self, condition, what, timeout=10):
        deadline = time.monotonic() + timeout
        while not condition():
            if time.monotonic() > deadline:
                self.fail("timed out waiting until " + what)
            time.sleep(0.01)
