"""A Python subscriber to the C++ shutdown service (ShutdownFactory, driven
through norvctl shutdown host): it refuses, agrees, is forced, and hears the
host close or die."""

import os
import signal
import threading
import unittest

from support import EndpointTestCase

from norv_interop import ShutdownClient

PID = 6161


class ShutdownClientTest(EndpointTestCase):
    def start_host(self):
        host = self.start_norvctl("shutdown", "host", "--pid", str(PID))
        self.assertEqual(self.read_line(host), "start: process %d" % PID)
        return host

    def command(self, host, line):
        host.stdin.write(line + "\n")
        host.stdin.flush()
        return self.read_line(host)

    def test_refuses_agrees_is_forced_and_hears_the_host_stop(self):
        host = self.start_host()
        forced, closed = threading.Event(), threading.Event()
        asked = []

        def on_request():
            asked.append(len(asked))
            if len(asked) == 1:
                return False
            if len(asked) == 2:
                client.ping()  # a call from inside a handler stalls nothing
                return True
            raise RuntimeError("cannot decide")

        client = ShutdownClient(PID, 7, on_request=on_request, on_force=forced.set,
                                on_closed=closed.set)
        self.addCleanup(client.close)
        self.assertEqual(self.command(host, "request"), "request: false")
        self.assertEqual(self.command(host, "request"), "request: true")
        # A handler that raises is a fault, which the registry counts as agreeing.
        self.assertEqual(self.command(host, "request"), "request: true")
        self.assertEqual(len(asked), 3)
        self.assertEqual(self.command(host, "force"), "force: done")
        self.assertTrue(forced.is_set())
        self.assertTrue(client.is_open)
        self.assertEqual(self.command(host, "stop"), "stop: done")
        self.assertTrue(closed.wait(10), "on_closed was not called")
        self.assertFalse(client.is_open)
        self.assertIn("the host is closing", client.end_reason)

    def test_a_host_that_dies_closes_the_session(self):
        host = self.start_host()
        closed = threading.Event()
        client = ShutdownClient(PID, 8, on_closed=closed.set)
        self.addCleanup(client.close)
        os.kill(host.pid, signal.SIGKILL)
        self.assertTrue(closed.wait(10), "on_closed was not called")
        with self.assertRaisesRegex(Exception, "operation Ping: the session has ended"):
            client.ping()

    def test_nobody_listening(self):
        with self.assertRaisesRegex(Exception, "^process %d, endpoint Shutdown, operation "
                                    "CreateChannel: nobody is listening" % PID):
            ShutdownClient(PID, 9)


if __name__ == "__main__":
    unittest.main()
