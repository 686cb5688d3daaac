"""Wake-on-LAN magic packets from the engine's sender, received on the far
side of a veth pair. Everything runs in private network namespaces (as
root): nothing is ever broadcast in the host's namespace."""
import json
import os
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import kvdtest  # noqa: E402

IN_NS = os.environ.get("KVD_WOL_NETNS") == "1"

# Runs in a namespace of its own: prints "ready", then one line per datagram.
RECEIVER = r"""
import select, socket, sys
socks = []
for port in (9, 7):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
    s.bind(("0.0.0.0", port))
    socks.append(s)
print("ready", flush=True)
while True:
    for s in select.select(socks, [], [])[0]:
        data, addr = s.recvfrom(2048)
        print(s.getsockname()[1], addr[0], data.hex(), flush=True)
"""


def sh(*cmd):
    subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL)


@unittest.skipUnless(IN_NS, "needs root and unshare (runs in a private network namespace)")
class WolNetnsTest(unittest.TestCase):
    def send(self, mac):
        out = subprocess.run([kvdtest.tool("wol_send"), mac], capture_output=True, text=True, timeout=10)
        return json.loads(out.stdout), out.stderr

    def test_packets_reach_the_far_side_on_ports_9_and_7(self):
        sh("ip", "link", "set", "lo", "up")
        # Only the loopback is up: the limited broadcast has no route.
        result, _ = self.send("00:11:22:33:44:55")
        self.assertFalse(result["ok"])
        self.assertTrue(result["error"].startswith("sendto_failed (WSAGetLastError="), result)
        self.assertEqual(self.send("00:11:22:33:44")[0], {"ok": False, "error": "invalid_mac"})

        far = subprocess.Popen(["unshare", "-n", "/usr/bin/python3", "-c", RECEIVER],
                               stdout=subprocess.PIPE, text=True)
        try:
            self.assertEqual(far.stdout.readline().strip(), "ready")
            sh("ip", "link", "add", "wol0", "type", "veth", "peer", "name", "wol1", "netns", str(far.pid))
            sh("ip", "addr", "add", "10.77.5.1/24", "dev", "wol0")
            sh("ip", "link", "set", "wol0", "up")
            for cmd in (["ip", "link", "set", "lo", "up"], ["ip", "addr", "add", "10.77.5.2/24", "dev", "wol1"],
                        ["ip", "link", "set", "wol1", "up"]):
                sh("nsenter", "-t", str(far.pid), "-n", *cmd)
            # A second interface that is down contributes no target.
            sh("ip", "link", "add", "wol2", "type", "veth", "peer", "name", "wol3")
            sh("ip", "addr", "add", "10.88.0.1/16", "dev", "wol2")
            self.assertTrue(kvdtest.wait_for(
                lambda: "state UP" in subprocess.run(["ip", "link", "show", "wol0"], capture_output=True,
                                                     text=True).stdout, 10))
            result, err = self.send("0A-1b-2C-3d-4E-5f")
            self.assertEqual(result, {"ok": True})
            self.assertIn("[wol] broadcast to 1 interface(s), 1 success", err)
            lines = [far.stdout.readline().split() for _ in range(2)]
        finally:
            far.kill()
            far.wait()
        packet = bytes.fromhex("ff" * 6 + "0a1b2c3d4e5f" * 16)
        self.assertEqual(len(packet), 102)
        self.assertEqual(sorted(int(p) for p, _, _ in lines), [7, 9])
        for _, src, data in lines:
            self.assertEqual(src, "10.77.5.1")
            self.assertEqual(bytes.fromhex(data), packet)


if __name__ == "__main__":
    if not IN_NS and os.geteuid() == 0 and os.path.exists("/usr/bin/unshare"):
        os.execve("/usr/bin/unshare", ["unshare", "-n", sys.executable, os.path.abspath(__file__), *sys.argv[1:]],
                  dict(os.environ, KVD_WOL_NETNS="1"))
    unittest.main()
