"""Temporary-file clean-up never crosses into another file system: a tmpfs
mounted inside the tree keeps its files, and a mount point itself is refused.
Runs in a private mount namespace (as root), so the host sees no mount."""
import json
import os
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import kvdtest  # noqa: E402

IN_NS = os.environ.get("KVD_MOUNT_NS") == "1"


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        f.write(data)


@unittest.skipUnless(IN_NS, "needs root and unshare (runs in a private mount namespace)")
class CleanupMountsTest(unittest.TestCase):
    def clean(self, d, prefix):
        out = subprocess.run([kvdtest.tool("cleanup_tree"), d, prefix], capture_output=True, text=True,
                             timeout=10, env=kvdtest.clean_env(KELVANDRUM_LOG_FILE=os.devnull))
        return json.loads(out.stdout)

    def test_other_file_systems_are_left_alone(self):
        subprocess.run(["mount", "--make-rprivate", "/"], check=True)
        with kvdtest.TempDir() as root:
            tree = os.path.join(root, "session-tmp")
            write(os.path.join(tree, "a.log"), "12345")
            write(os.path.join(tree, "deep", "b.log"), "12")
            mnt = os.path.join(tree, "mnt")
            os.makedirs(mnt)
            subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", mnt], check=True)
            try:
                write(os.path.join(mnt, "other-fs.txt"), "keep me")
                write(os.path.join(mnt, "sub", "x"), "keep")
                self.assertEqual(self.clean(mnt, root), {"ok": False, "files": 0, "bytes": 0})
                self.assertEqual(self.clean(tree, root), {"ok": True, "files": 2, "bytes": 7})
                self.assertTrue(os.path.exists(os.path.join(mnt, "other-fs.txt")))
                self.assertTrue(os.path.exists(os.path.join(mnt, "sub", "x")))
                self.assertFalse(os.path.exists(os.path.join(tree, "deep", "b.log")))
            finally:
                subprocess.run(["umount", mnt], check=True)


if __name__ == "__main__":
    if not IN_NS and os.geteuid() == 0 and os.path.exists("/usr/bin/unshare"):
        os.execve("/usr/bin/unshare", ["unshare", "-m", sys.executable, os.path.abspath(__file__), *sys.argv[1:]],
                  dict(os.environ, KVD_MOUNT_NS="1"))
    unittest.main()
