"""A Python launcher is reached by a C++ caller through the component's
launcher channel (norvctl launcher --pid)."""

import unittest

from support import EndpointTestCase

from norv_interop import serve_launcher
from norv_interop.contracts import types_pb2
from norv_interop.values import get_string

PID = 5151


class Launcher:
    def __init__(self):
        self.calls = []

    def LogOn(self, request, context):
        self.calls.append(("LogOn", tuple(get_string(request, f) for f in
                                          ("project_path", "user", "password", "author"))))
        return types_pb2.Empty()

    def LaunchTrasko(self, request, context):
        self.calls.append(("LaunchTrasko",))
        return types_pb2.Empty()


class LauncherTest(EndpointTestCase):
    def test_the_cpp_caller_logs_on_and_launches(self):
        launcher = Launcher()
        with serve_launcher(launcher, PID):
            status, out, err = self.norvctl("launcher", "logon", "--pid", str(PID),
                                            "--project", "/p/Øst", "--user", "ada",
                                            "--author", "bo", "--password-stdin",
                                            stdin="sesame\n")
            self.assertEqual((status, out.strip()),
                             (0, "logged on at the launcher of process %d" % PID), err)
            status, out, err = self.norvctl("launcher", "trasko", "--pid", str(PID))
            self.assertEqual((status, out.strip()),
                             (0, "Trasko started by the launcher of process %d" % PID), err)
            # An operation the servicer lacks is not served.
            status, out, err = self.norvctl("launcher", "wendal", "--pid", str(PID))
            self.assertEqual(status, 1)
            self.assertIn("operation LaunchWendal: the endpoint does not serve this operation",
                          err)
        self.assertEqual(launcher.calls, [("LogOn", ("/p/Øst", "ada", "sesame", "bo")),
                                          ("LaunchTrasko",)])


if __name__ == "__main__":
    unittest.main()
