"""A Python launcher is reached by the launcher bridge (Halvane) of a C++
host application, and by norvctl launcher --pid."""

import os
import subprocess
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
    def test_the_bridge_of_the_host_process_reaches_it(self):
        caller = subprocess.Popen([os.environ["NORV_HALVANE_CALLER"]], stdin=subprocess.PIPE,
                                  stdout=subprocess.PIPE, text=True, bufsize=1)
        self.addCleanup(self._reap, caller)
        self.assertEqual(self.read_line(caller), "ready")
        launcher = Launcher()
        with serve_launcher(launcher, caller.pid):
            answers = []
            for command in ("logon /p/Ost ada sesame bo", "trasko", "wendal"):
                caller.stdin.write(command + "\n")
                caller.stdin.flush()
                answers.append(self.read_line(caller))
        self.assertEqual(answers[:2], ["done", "done"])
        self.assertEqual(answers[2], "error: process %d, endpoint ApplicationLauncher, operation "
                         "LaunchWendal: the endpoint does not serve this operation (Method not "
                         "found!)" % caller.pid)
        self.assertEqual(launcher.calls, [("LogOn", ("/p/Ost", "ada", "sesame", "bo")),
                                          ("LaunchTrasko",)])

    def test_norvctl_logs_on_and_launches_at_a_pid(self):
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
        self.assertEqual(launcher.calls, [("LogOn", ("/p/Øst", "ada", "sesame", "bo")),
                                          ("LaunchTrasko",)])


if __name__ == "__main__":
    unittest.main()
