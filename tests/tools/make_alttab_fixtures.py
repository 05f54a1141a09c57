#!/usr/bin/env python3
"""Writes the AltTab import fixtures under tests/fixtures/alttab/, and the keyed archives
among them as seeds of the keyed-archive fuzz target.

AltTab keeps its settings in its preferences domain: most values as text, per-slot keys with a
slot suffix, recorded shortcuts as {"secureData": <keyed archive of an "SRShortcut">} and the
per-app exceptions as JSON text. The domains are written as XML property lists (readable in a
diff); the bare archives as binary property lists, as a keyed archiver writes them.
Output is deterministic: run it again and git shows no change.

    /usr/bin/python3 tests/tools/make_alttab_fixtures.py
"""
import json
import plistlib
import random
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
OUT = ROOT / "tests" / "fixtures" / "alttab"
SEEDS = ROOT / "fuzz" / "seeds" / "keyed_archive_fuzz"

COMMAND, OPTION, CONTROL, SHIFT = 0x100000, 0x80000, 0x40000, 0x20000
TAB, SPACE, GRAVE, K = 48, 49, 50, 40


def archive(key_code=None, flags=None, class_name="SRShortcut", by_reference=False):
    """A keyed archive whose root object has the given class and number fields.

    Numbers are stored inline or, with by_reference, as separate objects referred to by UID
    (both forms occur in keyed archives)."""
    objects = ["$null"]
    root = {}
    objects.append(root)
    for key, value in (("keyCode", key_code), ("modifierFlags", flags)):
        if value is None:
            continue
        if by_reference:
            root[key] = plistlib.UID(len(objects))
            objects.append(value)
        else:
            root[key] = value
    root["$class"] = plistlib.UID(len(objects))
    objects.append({"$classname": class_name, "$classes": [class_name, "NSObject"]})
    return plistlib.dumps(
        {"$version": 100000, "$archiver": "NSKeyedArchiver",
         "$top": {"root": plistlib.UID(1)}, "$objects": objects},
        fmt=plistlib.FMT_BINARY, sort_keys=False)


def xml_spelling(value):
    """A property-list value with every UID spelled as XML writes it: {"CF$UID": n}."""
    if isinstance(value, plistlib.UID):
        return {"CF$UID": value.data}
    if isinstance(value, dict):
        return {k: xml_spelling(v) for k, v in value.items()}
    if isinstance(value, list):
        return [xml_spelling(v) for v in value]
    return value


def shortcut(key_code=None, flags=None, **kw):
    """A recorded shortcut as AltTab stores it in its domain."""
    return {"secureData": archive(key_code, flags, **kw)}


def letter(text):
    return {"string": text}


def suffix(slot):
    return "" if slot == 0 else str(slot + 1)


def write_domain(name, domain):
    (OUT / name).write_bytes(plistlib.dumps(domain, fmt=plistlib.FMT_XML, sort_keys=True))


def write_bytes(name, data):
    (OUT / name).write_bytes(data)
    (SEEDS / name).write_bytes(data)


def main():
    OUT.mkdir(parents=True, exist_ok=True)
    SEEDS.mkdir(parents=True, exist_ok=True)

    # Bare archives for the keyed-archive reader and the shortcut decoding.
    write_bytes("shift_only.bin", archive(key_code=-1, flags=SHIFT))
    write_bytes("command_option.bin", archive(key_code=TAB, flags=COMMAND | OPTION))
    write_bytes("by_reference.bin", archive(key_code=SPACE, flags=CONTROL, by_reference=True))
    write_bytes("wrong_class.bin",
                archive(key_code=TAB, flags=COMMAND, class_name="NSDictionary"))
    # Fuzz seeds only: the XML form of an archive, and an archive whose objects refer to each
    # other in a cycle.
    xml = xml_spelling(plistlib.loads(archive(key_code=K, flags=OPTION, by_reference=True)))
    (SEEDS / "xml_form.plist").write_bytes(plistlib.dumps(xml, fmt=plistlib.FMT_XML))
    cycle = {"$archiver": "NSKeyedArchiver", "$top": {"root": plistlib.UID(1)},
             "$objects": ["$null",
                          {"$class": plistlib.UID(2), "keyCode": plistlib.UID(2)},
                          {"$class": plistlib.UID(1), "$classname": "SRShortcut",
                           "modifierFlags": plistlib.UID(1)}]}
    (SEEDS / "cycle.bin").write_bytes(plistlib.dumps(cycle, fmt=plistlib.FMT_BINARY))
    # A dictionary key holding a NUL character in its UTF-16 form (the "é" makes the writer use
    # UTF-16), in an archive and in a whole domain file: legal in a binary property list, and
    # something libplist's binary reader aborts on.
    nul_key = plistlib.loads(archive(key_code=TAB, flags=COMMAND))
    nul_key["$objects"][2] = {"$classname\0é": "SRShortcut"}
    write_bytes("nul_key.bin", plistlib.dumps(nul_key, fmt=plistlib.FMT_BINARY, sort_keys=False))
    (OUT / "nul_key_domain.plist").write_bytes(
        plistlib.dumps({"appearanceStyle": "1", "hide\0StatusIcons\u00e9": "true"},
                       fmt=plistlib.FMT_BINARY))
    rng = random.Random(20240611)
    write_bytes("junk.bin", bytes(rng.randrange(256) for _ in range(300)))

    # A domain with nothing stored: everything comes from the defaults.
    write_domain("empty.plist", {})

    # The same non-default settings, once as text (what AltTab writes) and once as numbers and
    # booleans (what a hand-edited or older domain may hold). Both import the same plan.
    settings = {
        "appearanceStyle": 1, "appearanceSize": 2, "appearanceTheme": 0, "showOnScreen": 2,
        "titleTruncation": 1, "shortcutStyle": 1, "windowDisplayDelay": 2500,
        "cursorFollowFocus": 1,
        "arrowKeysEnabled": False, "vimKeysEnabled": True, "mouseHoverEnabled": True,
        "fadeOutAnimation": True, "previewFocusedWindow": True,
        "captureWindowsInBackground": False, "menubarIconShown": False,
        "hideStatusIcons": True, "hideSpaceNumberLabels": False,
        "shortcutCount": 3,
        "appsToShow3": 0, "showAppsOrWindows3": 0,
        "spacesToShow3": 1, "screensToShow3": 1, "showMinimizedWindows3": 2,
        "showHiddenWindows3": 1, "showFullscreenWindows3": 7, "showWindowlessApps3": 1,
        "windowOrder3": 9,
    }
    objects = {
        "holdShortcut": shortcut(key_code=-1, flags=COMMAND),
        "nextWindowShortcut": shortcut(key_code=TAB, flags=0),
        "holdShortcut2": shortcut(key_code=-1, flags=COMMAND | OPTION),
        "nextWindowShortcut2": shortcut(key_code=SPACE, flags=0, by_reference=True),
        "holdShortcut3": shortcut(key_code=-1, flags=CONTROL),
        "nextWindowShortcut3": shortcut(key_code=GRAVE, flags=0),
        "closeWindowShortcut": letter("X"),
        "minDeminWindowShortcut": letter("ab"),
        "toggleFullscreenWindowShortcut": letter("7"),
        "hideShowAppShortcut": letter("é"),
        "quitAppShortcut": "q",
        "exceptions": json.dumps([
            {"bundleIdentifier": "com.example.one", "hide": "1", "ignore": "0"},
            {"bundleIdentifier": "com.example.two", "hide": "0", "ignore": "1"},
        ]),
    }

    def as_text(v):
        if isinstance(v, bool):
            return "true" if v else "false"
        return str(v)

    write_domain("strings.plist", {**{k: as_text(v) for k, v in settings.items()}, **objects})
    write_domain("numbers.plist", {**settings, **objects})

    # Every hide × ignore combination of AltTab's exceptions, then entries that must be skipped
    # or read as 0.
    combos = [{"bundleIdentifier": f"com.example.h{h}i{i}", "hide": str(h), "ignore": str(i)}
              for h in range(3) for i in range(3)]
    combos += [
        {"bundleIdentifier": "com.example.trailing.", "hide": "1", "ignore": "1"},
        {"bundleIdentifier": 42, "hide": "1", "ignore": "1"},
        {"bundleIdentifier": "com.example.hide3", "hide": "3", "ignore": "0"},
        {"bundleIdentifier": "com.example.hideneg", "hide": "-1", "ignore": "2"},
        {"bundleIdentifier": "com.example.hidenumber", "hide": 1, "ignore": "x"},
        {"bundleIdentifier": "com.example.plus", "hide": "+2", "ignore": "1"},
    ]
    write_domain("exceptions.plist", {"exceptions": json.dumps(combos)})

    # Slot counts: every slot has a valid shortcut, so the count alone decides how many convert.
    for count in (0, -3, 9):
        domain = {"shortcutCount": str(count)}
        for slot in range(5):
            domain["holdShortcut" + suffix(slot)] = shortcut(key_code=-1, flags=OPTION)
            domain["nextWindowShortcut" + suffix(slot)] = shortcut(key_code=TAB, flags=0)
        write_domain(f"count_{count}.plist", domain)


if __name__ == "__main__":
    main()
