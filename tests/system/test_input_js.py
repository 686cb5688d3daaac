"""The viewer's input module (tools/viewer/public/input.js) run under node with
a stand-in element: what each DOM event puts on the input channel."""
import json
import os
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import kvdtest  # noqa: E402

SCRIPT = r"""
const { attachInput } = await import(process.argv[1]);
const sent = [];
const el = new EventTarget();
el.tabIndex = -1;
el.focus = () => {};
// A 1000x800 box showing a 1600x900 video: the picture is 1000x562.5 at y=168.75.
el.videoWidth = 1600; el.videoHeight = 900;
el.getBoundingClientRect = () => ({ left: 100, top: 50, width: 1000, height: 800 });
const detach = attachInput(el, (b) => sent.push(Array.from(b)));
const fire = (type, props) => {
  const ev = new Event(type, { cancelable: true });
  Object.assign(ev, props);
  el.dispatchEvent(ev);
  return ev.defaultPrevented;
};
const out = {};
const take = (name, fn) => { sent.length = 0; fn(); out[name] = sent.slice(); };
take('centre', () => fire('mousemove', { clientX: 600, clientY: 450 }));
take('corner', () => fire('mousemove', { clientX: 1100, clientY: 731.25 }));
take('outside', () => fire('mousemove', { clientX: 300, clientY: 100 }));
take('right', () => { fire('mousedown', { button: 2, clientX: 100, clientY: 450 });
                      fire('mouseup', { button: 2, clientX: 100, clientY: 450 }); });
take('middle', () => fire('mousedown', { button: 1, clientX: 100, clientY: 450 }));
take('wheel', () => { fire('wheel', { deltaY: 100, deltaX: 0, deltaMode: 0 });
                      fire('wheel', { deltaY: 0, deltaX: -3, deltaMode: 1 });
                      fire('wheel', { deltaY: -0.5, deltaX: 0, deltaMode: 0 }); });
take('keys', () => { fire('keydown', { code: 'ControlRight', keyCode: 17 });
                     fire('keydown', { code: 'KeyA', keyCode: 65 });
                     fire('keyup', { code: 'KeyA', keyCode: 65 }); });
take('unknown', () => fire('keydown', { code: 'Lang1', keyCode: 21 }));
take('blur', () => fire('blur', {}));
out.prevented = fire('keydown', { code: 'F5', keyCode: 116 });
take('detach', () => { detach(); fire('mousemove', { clientX: 1, clientY: 1 }); });
out.tabIndex = el.tabIndex;
console.log(JSON.stringify(out));
"""


def le16(v):
    return [v & 0xFF, (v >> 8) & 0xFF]


class InputModule(unittest.TestCase):
    def test_events_become_input_channel_messages(self):
        module = os.path.join(kvdtest.ROOT, "tools", "viewer", "public", "input.js")
        r = subprocess.run(["node", "--input-type=module", "-e", SCRIPT, module],
                           capture_output=True, text=True, timeout=60)
        self.assertEqual(r.returncode, 0, r.stderr)
        out = json.loads(r.stdout)
        # Positions are relative to the picture, not to the letterboxed box.
        self.assertEqual(out["centre"], [[1, *le16(32768), *le16(32768), 0, 0]])
        self.assertEqual(out["corner"], [[1, *le16(65535), *le16(65535), 0, 0]])
        self.assertEqual(out["outside"], [[1, *le16(13107), 0, 0, 0, 0]])
        move_left = [1, 0, 0, *le16(32768), 0, 0]
        self.assertEqual(out["right"], [move_left, [2, 1, 0, 0], move_left, [3, 1, 0, 0]])
        self.assertEqual(out["middle"], [move_left, [2, 2, 0, 0]])
        # 100 px down is one notch down; 3 lines left one notch left; half a
        # pixel is carried, not sent.
        self.assertEqual(out["wheel"], [[4, *le16(-120), 0, 0, 0], [4, 0, 0, *le16(-120), 0]])
        sync_ctrl = [7, 1, 12, *b"ControlRight"]
        self.assertEqual(out["keys"], [[5, 0x1D, 0, 1, 17, 0], [5, 0x1E, 0, 0, 65, 0],
                                       [6, 0x1E, 0, 0, 65, 0], sync_ctrl])
        self.assertEqual(out["unknown"], [[5, 0, 0, 0, 21, 0]])
        self.assertEqual(out["blur"], [[7, 0]])
        self.assertTrue(out["prevented"])
        self.assertEqual(out["detach"], [[7, 0]])
        self.assertEqual(out["tabIndex"], 0)


if __name__ == "__main__":
    unittest.main()
