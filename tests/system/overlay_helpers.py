"""Helpers for the overlay tests: the screen as the X server shows it (xwd)."""
import struct
import subprocess


class Screen:
    """A 24/32-bit TrueColor xwd dump of the root window; pixel() is (r, g, b)."""

    def __init__(self, data):
        header = struct.unpack(">25I", data[:100])
        header_size, ncolors = header[0], header[19]
        self.width, self.height = header[4], header[5]
        self.byte_order, self.bpp, self.stride = header[7], header[11], header[12]
        if self.bpp != 32:
            raise ValueError("xwd: %d bits per pixel" % self.bpp)
        self.masks = header[14:17]
        self.pixels = data[header_size + 12 * ncolors:]

    def pixel(self, x, y):
        off = y * self.stride + x * 4
        order = "<I" if self.byte_order == 0 else ">I"
        (v,) = struct.unpack(order, self.pixels[off:off + 4])
        return tuple((v & m) >> ((m & -m).bit_length() - 1) for m in self.masks)

    def count(self, rect, predicate, step=1):
        x0, y0, w, h = rect
        return sum(1 for y in range(y0, y0 + h, step) for x in range(x0, x0 + w, step)
                   if predicate(self.pixel(x, y)))


def grab(display):
    out = subprocess.run(["xwd", "-root", "-silent", "-display", display],
                         check=True, capture_output=True, timeout=20).stdout
    return Screen(out)


def near(a, b, tol=8):
    return all(abs(x - y) <= tol for x, y in zip(a, b))
