#!/usr/bin/env python3
"""Writes the seeds of fuzz_package_plain (corpus-plain/) and the sealed seeds that cross
chunk boundaries (corpus/chunk-*). A seed's name starts with the outcome the corpus replay
test expects (ok, or the error kind in kebab case).

Plain input: byte 0 is the plaintext piece size of every chunk (0 means 1 MiB), then the
metadata JSON up to the first NUL byte ("$E" stands for the sealed stream's length), then
the plug-in stream."""
import json, os, sys, zlib

from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes

KEY = b"a41c7e09b3d85f26c0e97b14d2a6f853"
here = os.path.dirname(os.path.abspath(__file__))


def deflate(data):
    c = zlib.compressobj(6, zlib.DEFLATED, -15, 9)
    return c.compress(data) + c.flush()


def plugin(items, name="P", type_="effect", size=0, position=0, e="$E"):
    return {"name": name, "type": type_, "items": items, "size": size, "eSize": e, "position": position}


def f(path, position, stored, size=None, cm=None):
    e = {"type": "file", "path": path, "position": position, "stored": stored, "size": stored if size is None else size}
    if cm:
        e["cm"] = cm
    return e


def d(path):
    return {"type": "directory", "path": path}


def l(path, target):
    return {"type": "link", "path": path, "link": target}


text = b"".join(b'<parameter name="Opacity" id="%d" value="%d.5"/>\n' % (i, i * 7 % 100) for i in range(60))
packed = deflate(text)

seeds = {
    "ok-one-file": (3, [plugin([d("Media"), f("Media/a.png", 0, 5)])], b"hello"),
    "ok-compressed-across-chunks": (
        40, [plugin([f("t.xml", 0, len(packed), len(text), "zlib"), f("z/raw", len(packed), 4), f("z/empty", len(packed) + 4, 0)])],
        packed + b"RAW!"),
    "ok-links": (0, [plugin([d("Media"), d("sub"), f("Media/a", 0, 1), l("cur", "Media/a"), l("sub/m", "../Media"),
                             l("out", "../../x"), l("abs", "/etc/passwd"), l("home", "~/x"), l("dot", "."),
                             l("climb", "Media/../../x")])], b"a"),
    "metadata-corrupted-file-over-a-folder": (2, [plugin([d("dir/sub"), f("f", 0, 3), f("dir", 3, 2), l("l", "f")])], b"abcde"),
    "ok-two-plugins": (0, [plugin([f("a", 0, 2)], "A"), plugin([d("x")], "B", "transitions", 0, "$E", 0)], b"hi"),
    "ok-unknown-keys-and-type": (0, [dict(plugin([dict(f("a", 0, 1), extra={"k": [1, 2, {"z": None}]})], "U", "plugin"),
                                          more=[True, 1.5, "s"])], b"u"),
    "path-invalid-parent": (0, [plugin([f("a/../b", 0, 2)])], b"hi"),
    "path-invalid-absolute": (0, [plugin([f("/etc/x", 0, 2)])], b"hi"),
    "path-invalid-nul": (0, [plugin([f("a\u0000b", 0, 2)])], b"hi"),
    "path-invalid-backslash-climb": (0, [plugin([f("..\\..\\x", 0, 2)])], b"hi"),
    "metadata-corrupted-entry-below-a-link": (0, [plugin([l("a", "."), l("a/l", "../outside")])], b""),
    "metadata-corrupted-folder-below-a-link": (0, [plugin([l("a", "."), l("a/b/l", "x")])], b""),
    "metadata-corrupted-negative-position": (0, [plugin([], position=-8)], b""),
    "metadata-corrupted-negative-entry-position": (0, [plugin([f("a", -1, 1)])], b"a"),
    "metadata-corrupted-missing-path": (0, [plugin([{"type": "file", "stored": 1}])], b"a"),
    "metadata-corrupted-repeated-path": (2, [plugin([f("f", 0, 3), f("f", 3, 2), d("dir"), f("dir", 5, 1)])], b"abcdeX"),
    "metadata-corrupted-nesting": (0, [dict(plugin([]), deep=json.loads("[" * 40 + "]" * 40))], b""),
    "plaintext-overrun": (0, [plugin([f("a", 0, 2)])], b"abc"),
    "stream-truncated-raw-size": (0, [plugin([f("a", 0, 2, 5)])], b"hi"),
    "stream-truncated": (16, [plugin([f("t.xml", 0, len(packed) - 4, len(text), "zlib")])], packed[:-4]),
    "inflate-failed": (0, [plugin([f("t.xml", 0, 8, 100, "zlib")])], b"\xff" * 8),
    "chunk-length-invalid": (0, [plugin([f("a", 0, 4)], e=10)], b"abcd"),
    "incomplete": (0, [plugin([f("a", 0, 4)], e=100)], b"abcd"),
}


def seal(plain):
    iv = os.urandom(16)
    enc = Cipher(algorithms.AES(KEY), modes.CTR(iv)).encryptor()
    return iv + enc.update(plain) + enc.finalize()


def header(n):
    return n.to_bytes(8, "little")


def sealed_package(piece, meta_text, stream):
    piece = piece or 1 << 20
    data = b"".join(header(len(s)) + s for s in (seal(stream[i:i + piece]) for i in range(0, len(stream), piece)))
    meta = seal(meta_text.replace(b'"$E"', str(len(data)).encode()))
    return header(len(meta)) + meta + data


for name, (piece, meta, stream) in seeds.items():
    meta_text = json.dumps(meta, separators=(",", ":"), ensure_ascii=False).encode()
    with open(os.path.join(here, "corpus-plain", name), "wb") as out:
        out.write(bytes([piece]) + meta_text + b"\0" + stream)
    if name == "ok-compressed-across-chunks":
        with open(os.path.join(here, "corpus", "chunk-" + name[3:]), "wb") as out:
            out.write(sealed_package(piece, meta_text, stream))
