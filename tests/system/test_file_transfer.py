"""File transfer and browsing with the reference viewer in headless Chromium
against a live engine, in one session: an upload and a download of real
files (sha256 matches), the host browser, the START decision at 2 GiB and for
a fourth concurrent upload, a pull of a file that grows during the send, a
disk that fills up during an upload (a tiny tmpfs), and a viewer that
vanishes in the middle of an upload over an existing file.

Runs as root inside private mount and network namespaces: the tmpfs is
mounted in the first, Chromium needs the second to gather candidates.
"""
import hashlib
import json
import os
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import kvdtest  # noqa: E402

DRIVER = os.path.join(kvdtest.SYSTEM_DIR, "browser", "file_transfer.js")
IN_MOUNTNS = os.environ.get("KVD_MOUNT_NS") == "1"


def sha256(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            h.update(block)
    return h.hexdigest()


def write_random(path, size):
    with open(path, "wb") as f:
        f.write(os.urandom(size))


@unittest.skipUnless(kvdtest.IN_NETNS and IN_MOUNTNS and kvdtest.BROWSER_READY,
                     kvdtest.BROWSER_SKIP_REASON + " (and a private mount namespace)")
class FileTransferTest(unittest.TestCase):
    def test_files_panel_session(self):
        with kvdtest.Xvfb(640, 480) as x, kvdtest.TempDir() as tmp:
            profile = os.path.join(tmp, "profile")
            data = os.path.join(tmp, "data")
            downloads = os.path.join(profile, "Kelvandrum", "downloads")
            documents = os.path.join(profile, "Documents")
            for d in (os.path.join(profile, "Desktop"), documents, data, downloads):
                os.makedirs(d)
            subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", documents], check=True)
            try:
                plan = {"upload": os.path.join(data, "up.bin"), "pull": os.path.join(data, "pull.bin"),
                        "grow": os.path.join(data, "grow.log"), "full": os.path.join(data, "full.bin"),
                        "vanish": os.path.join(data, "victim.bin"),
                        "pullMissing": os.path.join(data, "missing.bin"),
                        "downloadTo": os.path.join(tmp, "pulled.bin"), "dataDir": data}
                for key, size in (("upload", 5 << 20), ("pull", 3 << 20 | 123), ("grow", 2 << 20),
                                  ("full", 3 << 20), ("vanish", 32 << 20)):
                    write_random(plan[key], size)
                with open(os.path.join(downloads, "victim.bin"), "wb") as f:
                    f.write(b"precious")
                log = os.path.join(tmp, "engine.log")
                t0 = time.time()
                proc = subprocess.run(
                    ["node", DRIVER, "--engine", os.environ["KVD_BINARY"], "--display", x.display,
                     "--log", log, "--env", json.dumps({"USERPROFILE": profile}),
                     "--plan", json.dumps(plan)],
                    stdout=subprocess.PIPE, timeout=150, env=kvdtest.clean_env())
                print(f"\nfile session took {time.time() - t0:.1f} s", file=sys.stderr)
                with open(log, encoding="utf-8", errors="replace") as f:
                    engine_log = f.read()
                documents_left = os.listdir(documents)
            finally:
                subprocess.run(["umount", documents])
            lines = [l for l in proc.stdout.decode().splitlines() if l.startswith("{")]
            self.assertTrue(lines, "driver printed no result")
            r = json.loads(lines[-1])
            self.assertTrue(r.get("ok"), f"{r.get('error')}\n{engine_log[-4000:]}")

            # Real files both ways.
            self.assertEqual(r["upload"]["state"], "done", r["upload"])
            self.assertEqual(sha256(os.path.join(downloads, "up.bin")), sha256(plan["upload"]))
            self.assertEqual(r["download"]["state"], "done", r["download"])
            self.assertEqual(sha256(plan["downloadTo"]), sha256(plan["pull"]))
            # The ICE socket asked for a 2 MiB receive buffer (the kernel caps
            # the request at rmem_max and reports twice the granted size): the
            # default one dropped datagrams under a transfer.
            with open("/proc/sys/net/core/rmem_max") as f:
                want = 2 * min(2 << 20, int(f.read()))
            self.assertIn(want, r["engineUdpRcvbuf"], r["engineUdpRcvbuf"])

            # Browsing: the shortcuts that exist, a drive, the listing.
            self.assertIn("Desktop", r["places"])
            self.assertIn("Documents", r["places"])
            self.assertTrue(any(p.startswith("/ ") for p in r["places"]), r["places"])
            self.assertTrue(any("pull.bin" in row and "3.0 MiB" in row for row in r["listing"]), r["listing"])
            self.assertTrue(r["upEnabled"])
            self.assertEqual(r["pullMissing"]["state"], "failed")
            self.assertIn("does not exist", r["pullMissing"]["message"])

            # START decisions: 2 GiB accepted, one byte more refused (2), the
            # fourth concurrent upload refused (3).
            self.assertEqual(r["starts"], {"70000001": [1, 0], "70000002": [0, 2], "70000003": [1, 0],
                                           "70000004": [1, 0], "70000005": [0, 3]})

            # The growing file: chunks went out, then the send was cancelled
            # with reason 3 and never ended.
            self.assertGreater(r["grow"]["chunksBeforeGrow"], 0)
            self.assertIn([7, 3], r["grow"]["after"], r["grow"])
            self.assertNotIn(5, [m[0] for m in r["grow"]["after"]])

            # Disk full: a clean failure in words, nothing left on the tmpfs.
            self.assertEqual(r["full"]["state"], "failed")
            self.assertIn("disk full", r["full"]["message"])
            self.assertEqual(documents_left, [])
            self.assertIn("[file] write failed for request", engine_log)

            # The vanished viewer: records dropped, no partial, the old file intact.
            self.assertGreater(r["vanishProgress"], 2 << 20)
            self.assertIn("[file] channel closed: dropped 1 incoming and 0 outgoing transfers", engine_log)
            self.assertEqual(sorted(os.listdir(downloads)), ["up.bin", "victim.bin"])
            with open(os.path.join(downloads, "victim.bin"), "rb") as f:
                self.assertEqual(f.read(), b"precious")
            self.assertEqual(r["errors"], [])
            self.assertEqual(r["engineExit"], {"code": 0, "signal": None})
            for line in ("file downloads will be saved to: " + downloads,
                         "[file-pull] started id=", "[special-folders] shortcuts=2"):
                self.assertIn(line, engine_log)


if __name__ == "__main__":
    if not IN_MOUNTNS and os.geteuid() == 0 and os.path.exists("/usr/bin/unshare"):
        os.execve("/usr/bin/unshare", ["unshare", "-m", "--propagation", "private", sys.executable,
                                       os.path.abspath(__file__), *sys.argv[1:]],
                  dict(os.environ, KVD_MOUNT_NS="1"))
    kvdtest.browser_test_main(__file__, sys.argv)
