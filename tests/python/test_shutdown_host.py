"""A Python shutdown host with C++ subscribers (norvctl shutdown subscribe):
the registry's rules for requests, forces, faults and clients gone away."""

import os
import signal
import threading
import time
import unittest

from support import EndpointTestCase

from norv_interop import ShutdownClient, ShutdownService, serve_shutdown

PID = 7171


class ReservedKeys(ShutdownService):
    def subscribe(self, key, callback):
        if key == 13:
            raise ValueError("key 13 is reserved")
        super().subscribe(key, callback)


class ShutdownHostTest(EndpointTestCase):
    def subscriber(self, key, answer):
        child = self.start_norvctl("shutdown", "subscribe", "--pid", str(PID), "--key", str(key),
                                   "--answer", answer)
        self.assertEqual(self.read_line(child),
                         "subscribed: process %d, endpoint Shutdown, key %d" % (PID, key))
        return child

    def test_requests_and_forces_follow_the_registry_rules(self):
        host = self.enterContext(serve_shutdown(PID, ReservedKeys(), callback_timeout=3))
        self.assertTrue(host.request_stop())  # nobody subscribed yet

        no, yes, fail = (self.subscriber(key, answer)
                         for key, answer in ((1, "no"), (2, "yes"), (3, "fail")))
        # Every connected client is asked, also after one refused.
        self.assertFalse(host.request_stop())
        self.assertEqual([self.read_line(c) for c in (no, yes, fail)],
                         ["request: answered no", "request: answered yes", "request: failed"])

        # A client gone away is skipped and stays registered; one whose
        # handler raises counts as agreeing.
        os.kill(no.pid, signal.SIGKILL)
        no.wait(10)
        self.wait_until(lambda: host.service.subscribers(connected_only=True) == [2, 3],
                        "the host sees the client gone")
        self.assertTrue(host.request_stop())
        self.assertEqual(host.service.subscribers(), [1, 2, 3])
        self.assertEqual([self.read_line(c) for c in (yes, fail)],
                         ["request: answered yes", "request: failed"])

        host.force_stop()
        for child in (yes, fail):
            self.assertEqual(self.read_line(child), "force: shutting down")
            self.assertEqual(child.wait(10), 0)

        # What the service object raises is the subscriber's fault.
        status, out, err = self.norvctl("shutdown", "subscribe", "--pid", str(PID), "--key", "13")
        self.assertEqual(status, 1)
        self.assertIn("operation Subscribe: the service raised a fault: key 13 is reserved", err)

        host.close()
        self.assertEqual(sorted(os.listdir(self.endpoints)), [])

    def test_a_client_that_answers_too_late_agrees_and_stays_in_session(self):
        host = self.enterContext(serve_shutdown(PID, callback_timeout=0.3))
        release = threading.Event()
        answers = iter([lambda: release.wait(10) and False, lambda: False])
        client = self.enterContext(ShutdownClient(PID, 1, on_request=lambda: next(answers)()))
        started = time.monotonic()
        self.assertTrue(host.request_stop())  # no answer within 0.3 s: it agrees
        self.assertLess(time.monotonic() - started, 5)
        release.set()  # its late "no" is dropped
        self.assertFalse(host.request_stop())
        self.assertTrue(client.is_open)


if __name__ == "__main__":
    unittest.main()
