"""A small catalogue to serve, and a server of it on a free loopback port, for the serve command's tests."""

import os
import re
import shutil
import struct
import subprocess
import sys
import threading
import zlib

import cv2
import numpy as np
from sklearn.datasets import load_sample_image

from lumvarde_quorle import ColorExtractor
from lumvarde_quorle.catalogue import Catalogue

HOSTILE = "<img src=x onerror=alert(1)>.png"
FAILING = "<b onmouseover=alert(2)>.png"


def photo(name, fraction=0.5):
    image = cv2.cvtColor(load_sample_image(name), cv2.COLOR_RGB2BGR)
    return cv2.resize(image, None, fx=fraction, fy=fraction, interpolation=cv2.INTER_AREA)


def png_claiming(width, height):
    """A PNG file whose header claims a huge image: what a decompression bomb shows before decoding."""
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(b"\0" * 64)) + chunk(
        b"IEND", b"")


def make_catalogue(folder):
    """china.png, flower.png, a crop of china under a name that is HTML, and two images that stop being
    readable after indexing: gone.png is deleted, bomb.png replaced by a header claiming 60000 x 60000
    pixels; one file that fails to index under a name that is a script. Returns the catalogue's path and
    the ids by file name."""
    china, flower = photo("china.jpg"), photo("flower.jpg")
    files = {"china.png": china, "flower.png": flower, HOSTILE: china[40:180, 60:260],
             "gone.png": flower[:, ::-1], "bomb.png": np.ascontiguousarray(flower[::-1])}
    for name, image in files.items():
        assert cv2.imwrite(os.path.join(folder, name), image)
    open(os.path.join(folder, FAILING), "wb").close()
    db = os.path.join(folder, "photos.db")
    names = [*files, FAILING]
    with Catalogue(db, create=True) as catalogue:
        catalogue.index([os.path.join(folder, name) for name in names], ColorExtractor(n_colors=5))
        found = catalogue.entries().ids((os.path.join(folder, name), {
            "n_colors": 5, "algorithm": "kmeans", "preprocessing": True, "lab_space": True, "mask": None,
        }) for name in names)
    os.remove(os.path.join(folder, "gone.png"))
    with open(os.path.join(folder, "bomb.png"), "wb") as file:
        file.write(png_claiming(60000, 60000))
    return db, dict(zip(names, found))


def copy_catalogue(db, folder):
    for suffix in ("", "-wal", "-shm", "-colours"):
        if os.path.exists(db + suffix):
            shutil.copy(db + suffix, os.path.join(folder, "photos.db" + suffix))
    return os.path.join(folder, "photos.db")


class Running:
    """The application served by waitress on a free loopback port, in a thread, until close()."""

    def __init__(self, app, threads=4):
        from lumvarde_quorle.web import make_server

        self.server = make_server(app, "127.0.0.1", 0, threads)
        self.url = f"http://127.0.0.1:{self.server.effective_port}"
        self.thread = threading.Thread(target=self.server.run, daemon=True)
        self.thread.start()

    def close(self):
        from lumvarde_quorle.web import stop

        stop(self.server)
        self.thread.join(30)
        assert not self.thread.is_alive()


class Served:
    """The serve command on a catalogue in a child process, as users run it, until close(): its memory is
    then the server's alone, not the test's clients'."""

    def __init__(self, db, *options):
        self.process = subprocess.Popen(
            [sys.executable, "-P", "-m", "lumvarde_quorle", "serve", "--db", db, "--port", "0", *options],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
        )
        found = re.search(r"serving at http://[^:]+:(\d+)/", self.process.stdout.readline())
        assert found, self.process.communicate(timeout=30)
        self.url = f"http://127.0.0.1:{found.group(1)}"

    def memory(self):
        """The server's smaps_rollup in bytes. Its Pss counts the colour index once, where Rss counts it once
        per serving thread that mapped it."""
        fields = {}
        with open(f"/proc/{self.process.pid}/smaps_rollup") as rollup:
            for line in rollup:
                name, _, rest = line.partition(":")
                if rest.strip().endswith("kB"):
                    fields[name] = int(rest.split()[0]) << 10
        return fields

    def close(self):
        self.process.terminate()
        return self.process.communicate(timeout=30)[1]
