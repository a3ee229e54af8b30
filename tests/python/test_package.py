"""The Debian package python3-norv-interop, built by the project's packaging
(cpack, component python), unpacked with dpkg-deb -x into a scratch root and
used from there alone."""

import glob
import os
import shutil
import subprocess
import sys
import tempfile
import textwrap
import unittest

BUILD_DIR = os.environ.get("NORV_TEST_BINARY_DIR", "")

# Run by the unpacked package's Python: a Python subscriber walked by a
# Python host, the docstrings that help() shows, and a host left open with a
# live session, which must neither hold the exit nor leave its files.
USE_IT = textwrap.dedent("""
    import os, pydoc, sys
    import norv_interop
    from norv.contracts.v1 import shutdown_pb2
    print(norv_interop.__file__)
    print(shutdown_pb2.__file__)
    os.environ["NORV_PIPE_DIR"] = sys.argv[1]
    answers = []
    with norv_interop.serve_shutdown(os.getpid()) as host:
        with norv_interop.ShutdownClient(os.getpid(), 1, on_request=lambda: False):
            answers.append(host.request_stop())
    print(answers)
    def text(thing):
        return pydoc.render_doc(thing, renderer=pydoc.plaintext)
    print("on_closed" in text(norv_interop.ShutdownClient)
          and "request_stop" in text(norv_interop.ShutdownHost))
    left_open = norv_interop.serve_shutdown(os.getpid())
    session = norv_interop.ShutdownClient(os.getpid(), 2)
""")


class PackageTest(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="norv-py-package-")
        self.addCleanup(shutil.rmtree, self.work, True)

    def test_the_unpacked_package_is_complete(self):
        config = os.path.join(BUILD_DIR, "CPackConfig.cmake")
        self.assertTrue(os.path.isfile(config), "no CPackConfig.cmake in " + BUILD_DIR)
        packages = os.path.join(self.work, "packages")
        subprocess.run(["cpack", "--config", config, "-D", "CPACK_COMPONENTS_ALL=python",
                        "-B", packages], check=True, capture_output=True, timeout=120)
        debs = glob.glob(os.path.join(packages, "python3-norv-interop_*_all.deb"))
        self.assertEqual(len(debs), 1, os.listdir(packages))

        def field(name):
            return subprocess.run(["dpkg-deb", "-f", debs[0], name], check=True,
                                  capture_output=True, text=True).stdout.strip()

        self.assertEqual(field("Architecture"), "all")
        depends = {d.strip() for d in field("Depends").split(",")}
        self.assertLessEqual({"python3-grpcio", "python3-protobuf"}, depends)

        root = os.path.join(self.work, "root")
        subprocess.run(["dpkg-deb", "-x", debs[0], root], check=True)
        site = os.path.join(root, "usr/lib/python3/dist-packages")
        self.assertTrue(os.path.isfile(os.path.join(root, "usr/share/doc/python3-norv-interop",
                                                    "python.md")))
        endpoints = os.path.join(self.work, "e")
        done = subprocess.run([sys.executable, "-c", USE_IT, endpoints], capture_output=True,
                              text=True,
                              timeout=60, cwd=self.work,
                              env=dict(os.environ, PYTHONPATH=site, PYTHONDONTWRITEBYTECODE="1"))
        self.assertEqual(done.returncode, 0, done.stderr)
        lines = done.stdout.splitlines()
        self.assertEqual(lines[0], os.path.join(site, "norv_interop", "__init__.py"))
        self.assertEqual(lines[1], os.path.join(site, "norv/contracts/v1/shutdown_pb2.py"))
        self.assertEqual(lines[2:], ["[False]", "True"])
        self.assertEqual(os.listdir(endpoints), [])


if __name__ == "__main__":
    unittest.main()
