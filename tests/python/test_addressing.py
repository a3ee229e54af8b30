"""The endpoint rules a Python host shares with the C++ component: the
directory's checks and the socket path's length (with the C++ wording), and
one live host per endpoint across both languages."""

import os
import unittest

from support import EndpointTestCase

from norv_interop import (AddressAccessDeniedException, AddressAlreadyInUseException,
                          LauncherHost, ShutdownClient, serve_launcher)

PID = 8181


class Launcher:
    pass


class AddressingTest(EndpointTestCase):
    def cpp_error(self):
        """The error the C++ component gives a caller of this endpoint,
        after its site (process, endpoint, operation)."""
        status, _, err = self.norvctl("launcher", "trasko", "--pid", str(PID))
        self.assertEqual(status, 1)
        prefix = "norvctl: process %d, endpoint ApplicationLauncher, operation LaunchTrasko: " % PID
        self.assertTrue(err.startswith(prefix), err)
        return err[len(prefix):].strip()

    def python_error(self):
        with self.assertRaises(AddressAccessDeniedException) as raised:
            LauncherHost(Launcher(), PID).open()
        prefix = "process %d, endpoint ApplicationLauncher: " % PID
        self.assertTrue(str(raised.exception).startswith(prefix), raised.exception)
        return str(raised.exception)[len(prefix):]

    def test_a_directory_of_the_wrong_mode_is_refused_as_the_cpp_side_does(self):
        os.mkdir(self.endpoints, 0o755)
        os.chmod(self.endpoints, 0o755)
        expected = "the endpoint directory %s has mode 0755, expected 0700" % self.endpoints
        self.assertEqual(self.python_error(), expected)
        self.assertEqual(self.cpp_error(), expected)
        with self.assertRaisesRegex(AddressAccessDeniedException, "has mode 0755"):
            ShutdownClient(PID, 1)

    def test_a_socket_path_too_long_is_refused_as_the_cpp_side_does(self):
        os.environ["NORV_PIPE_DIR"] = self.endpoints = os.path.join(self.root, "d" * 80)
        os.mkdir(self.endpoints, 0o700)
        path = "%s/%d.ApplicationLauncher.sock" % (self.endpoints, PID)
        expected = ("the socket path %s is %d bytes long, more than the 107 a Unix socket "
                    "address can hold" % (path, len(path)))
        self.assertEqual(self.python_error(), expected)
        self.assertEqual(self.cpp_error(), expected)

    def test_one_live_host_per_endpoint_in_either_language(self):
        lock = "%s/%d.ApplicationLauncher.lock" % (self.endpoints, PID)
        refusal = ("process %d, endpoint ApplicationLauncher: another live host already serves "
                   "this endpoint (it holds the lock file %s)" % (PID, lock))
        with serve_launcher(Launcher(), PID):
            with self.assertRaises(AddressAlreadyInUseException) as raised:
                LauncherHost(Launcher(), PID).open()
            self.assertEqual(str(raised.exception), refusal)
        self.assertEqual(os.listdir(self.endpoints), [])

        cpp = self.start_norvctl("serve", "launcher", "--pid", str(PID))
        self.assertIn("serving ApplicationLauncher", self.read_line(cpp))
        with self.assertRaises(AddressAlreadyInUseException) as raised:
            LauncherHost(Launcher(), PID).open()
        self.assertEqual(str(raised.exception), refusal)
        # The C++ host keeps its endpoint.
        self.assertEqual(sorted(os.listdir(self.endpoints)),
                         ["%d.ApplicationLauncher.%s" % (PID, kind) for kind in ("lock", "sock")])


if __name__ == "__main__":
    unittest.main()
