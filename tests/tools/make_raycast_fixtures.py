#!/usr/bin/python3
"""Writes the Raycast export fixtures under tests/fixtures/raycast/, and the seeds of the
decoder's fuzz target under fuzz/seeds/raycast_decode_fuzz/ (its input layout is described
in fuzz/raycast_decode_fuzz.cpp).

Run with Debian's Python, which has python3-cryptography:
    /usr/bin/python3 tests/tools/make_raycast_fixtures.py
Every input is fixed (salt, nonces, gzip time stamp), so the bytes only change when this
script does (or zlib's compressor does). The format: "RAYCFG3\\n", the header length as a
32-bit little-endian number, the gzip header JSON, then the gzip body JSON, sealed with
AES-256-GCM (ciphertext then 16-byte tag) under an scrypt key when the header says so.
"""
import gzip
import json
import os
import struct

from cryptography.hazmat.primitives.ciphers.aead import AESGCM
from cryptography.hazmat.primitives.kdf.scrypt import Scrypt

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
OUT = os.path.join(ROOT, "tests", "fixtures", "raycast")
SEEDS = os.path.join(ROOT, "fuzz", "seeds", "raycast_decode_fuzz")
MAGIC = b"RAYCFG3\n"
PASSWORD = "correct horse"
SALT = bytes(range(0x10, 0x20))
NONCE = bytes(range(0xA0, 0xAC))
APP = "c:r:applications::*::application::=::"


def gz(data: bytes) -> bytes:
    return gzip.compress(data, compresslevel=9, mtime=0)


def jbytes(value) -> bytes:
    return json.dumps(value, ensure_ascii=False, separators=(",", ":")).encode()


def key_for(password: str, salt: bytes) -> bytes:
    return Scrypt(salt=salt, length=32, n=16384, r=8, p=1).derive(password.encode())


def export(header, body: bytes, magic: bytes = MAGIC) -> bytes:
    h = gz(jbytes(header))
    return magic + struct.pack("<I", len(h)) + h + body


def sealed(body_json, nonce: bytes, iv_text: str = None) -> bytes:
    enc = {"iv": iv_text or nonce.hex(), "salt": SALT.hex()}
    box = AESGCM(key_for(PASSWORD, SALT)).encrypt(nonce, gz(jbytes(body_json)), None)
    return export({"version": 3, "encryption": enc}, box)


def mods(*names):
    return [{"modifier": n} for n in names]


def hotkey(code, modifiers, kind="SingleStep"):
    return {"kind": {"type": kind, "shortcut": {"key": {"code": code}, "modifiers": modifiers}}}


def app(path, code, modifiers, **extra):
    cmd = {"id": APP + path, "macosHotkey": hotkey(code, modifiers)}
    cmd.update(extra)
    return cmd


# Export order matters: the importer keeps enabled hotkeys first, then the first per app
# and per chord. Comments give what the decoder and the import plan make of each.
COMMANDS = [
    app("/Applications/Safari.app", 1, mods("Ctrl", "Alt", "Meta")),  # kept ⌃⌥⌘S
    app("/System/Applications/Mail.app", 40, mods("Meta", "Shift")),  # ⌘⇧K: skipped
    app("/System/Applications/Notes.app", 40, mods("Ctrl", "Meta")),  # kept ⌃⌘K
    app("/System/Applications/Utilities/Terminal.app", 17, mods("Ctrl", "Alt"),
        enabled=False),  # same app as the next, disabled: skipped after it
    app("/System/Applications/Utilities/Terminal.app", 17, mods("Alt", "Meta")),  # kept ⌥⌘T
    app("/Applications/Safari.app", 38, mods("Ctrl", "Alt")),  # second Safari: skipped
    app("/System/Applications/Calendar.app", 1, mods("Meta", "Alt", "Ctrl")),  # Safari's chord
    {"id": APP + "/System/Applications/Music.app",
     "macosHotkey": hotkey(46, mods("Ctrl", "Alt"), kind="Sequence")},  # dropped
    app("/System/Applications/Maps.app", 46, mods("Hyper", "Ctrl"), enabled="yes"),  # kept ⌃M
    app("/System/Applications/Photos.app", 35, mods("Fn")),  # no usable modifier: skipped
    app("/Applications/Gone.app", 5, mods("Ctrl", "Alt")),  # not installed: dropped
    {"id": "c:r:extensions::clipboard-history::show", "macosHotkey":
     hotkey(9, mods("Ctrl", "Alt"))},  # not an app: dropped
    app("/System/Applications/Books.app", 11, [{"modifier": "Ctrl", "side": 1}]),  # dropped
    app("/System/Library/CoreServices/Finder.app", 3,
        mods("Meta", "Meta", "Alt")),  # kept ⌥⌘F (a repeated name adds its bit once)
    app("/System/Applications/Stocks.app", 40.5, mods("Ctrl", "Alt")),  # code not integer
    app("/System/Applications/News.app", 200, mods("Ctrl", "Alt")),  # code out of range
    app("/System/Applications/Calculator.app", 96, []),  # kept F5: function keys need none
    {"id": APP + "/System/Applications/Weather.app"},  # no hotkey: dropped
    app("/Applications/Xcode.app", 7, mods("Ctrl", "Alt"), enabled=False),  # kept, disabled
]
BODY = {"version": 1, "settings": {"commands": COMMANDS, "theme": "dark"}}


def write_all(folder, files):
    os.makedirs(folder, exist_ok=True)
    for name, data in files.items():
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)
    print(f"wrote {len(files)} files to {os.path.normpath(folder)}")


def seeds(files):
    body = jbytes(BODY)
    header = jbytes({"version": 3, "encryption": {"iv": 1}})
    return {
        "raw-plain": b"\x00" + files["plain.rayconfig"],
        "raw-encrypted": b"\x00" + files["encrypted.rayconfig"],
        "after-magic": b"\x01" + files["nonce16.rayconfig"][8:],
        "texts": b"\x02" + bytes([len(header)]) + header + body,
        "sealed": b"\x03" + bytes([12 << 1, 16]) + NONCE + SALT + body,
        "sealed-wrong-password": b"\x03" + bytes([12 << 1 | 1, 16]) + NONCE + SALT + body,
        # First byte 0xff: the export's real scrypt cost.
        "sealed-real-cost": b"\xff" + bytes([12 << 1, 16]) + NONCE + SALT + body,
    }


def main():
    plain = export({"version": 3}, gz(jbytes(BODY)))
    files = {
        "plain.rayconfig": plain,
        "encrypted.rayconfig": sealed(BODY, NONCE),
        # A 16-byte nonce is used as it is; its hex is upper case.
        "nonce16.rayconfig": sealed(BODY, bytes(range(0x30, 0x40)),
                                    iv_text=bytes(range(0x30, 0x40)).hex().upper()),
        "nonce8.rayconfig": sealed(BODY, NONCE[:8]),
        "wrong-magic.rayconfig": b"RAYCFG2\n" + plain[8:],
        "twelve-bytes.rayconfig": plain[:12],
        "truncated.rayconfig": plain[: len(plain) - 40],
        "bad-hex.rayconfig": export(
            {"encryption": {"iv": "a0a1a2a3a4a5a6a7a8a9aaxb", "salt": SALT.hex()}},
            gz(jbytes(BODY))),
        # "encryption" that is not an object of strings means the body is not encrypted.
        "encryption-number.rayconfig": export(
            {"encryption": {"iv": NONCE.hex(), "salt": SALT.hex(), "rounds": 1}},
            gz(jbytes(BODY))),
        "header-array.rayconfig": export([{"encryption": None}], gz(jbytes(BODY))),
        "no-commands.rayconfig": export({}, gz(jbytes({"settings": {"commands": {}}}))),
        "command-not-object.rayconfig": export(
            {}, gz(jbytes({"settings": {"commands": [COMMANDS[0], "Safari"]}}))),
        "empty-commands.rayconfig": export({}, gz(jbytes({"settings": {"commands": []}}))),
    }
    write_all(OUT, files)
    write_all(SEEDS, seeds(files))


if __name__ == "__main__":
    main()
