#!/usr/bin/env python3
"""Writes the generated scenario fixtures (office.json, crowd.json) deterministically.

Run from this folder: ./generate.py. The files are committed; rerun only to change them.
"""
import json
import random

APPS = [
    ("Finder", "com.apple.finder", "/System/Library/CoreServices/Finder.app", "#3A8EE6"),
    ("Safari", "com.apple.Safari", "/Applications/Safari.app", "#1E90FF"),
    ("Mail", "com.apple.mail", "/System/Applications/Mail.app", "#4A90D9"),
    ("Terminal", "com.apple.Terminal", "/System/Applications/Utilities/Terminal.app", "#2B2B2B"),
    ("Notes", "com.apple.Notes", "/System/Applications/Notes.app", "#F5C542"),
    ("Xcode", "com.apple.dt.Xcode", "/Applications/Xcode.app", "#1C7CF4"),
    ("Google Chrome", "com.google.Chrome", "/Applications/Google Chrome.app", "#DB4437"),
    ("Slack", "com.tinyspeck.slackmacgap", "/Applications/Slack.app", "#4A154B"),
    ("Preview", "com.apple.Preview", "/System/Applications/Preview.app", "#7FB3E0"),
    ("Music", "com.apple.Music", "/System/Applications/Music.app", "#FA2D48"),
]
WORDS = ["Report", "Inbox", "Build", "Draft", "Review", "Plan", "Notes", "Budget", "Log",
         "Chart", "Invoice", "Photos", "Song", "Ideas", "Meeting", "Ticket"]


def desktop(n_windows, n_apps, seed):
    rng = random.Random(seed)
    displays = [
        {"uuid": "37D8832A-2D66-02CA-B9F7-8F30A301B230", "id": 1, "frame": [0, 0, 1512, 982],
         "visible": [0, 33, 1512, 874], "scale": 2,
         "spaces": [{"id": 1}, {"id": 2}, {"id": 3}, {"id": 9, "type": 4}], "current": 1},
        {"uuid": "5E6F7A8B-1111-2222-3333-444455556666", "id": 2, "frame": [1512, 0, 2560, 1440],
         "visible": [1512, 25, 2560, 1415], "scale": 1,
         "spaces": [{"id": 4}, {"id": 5}], "current": 4},
    ]
    user_spaces = {1: displays[0], 2: displays[0], 3: displays[0], 4: displays[1], 5: displays[1]}
    apps = []
    for i in range(n_apps):
        name, bundle, path, icon = APPS[i % len(APPS)]
        if i >= len(APPS):
            name, bundle = f"{name} {i // len(APPS) + 1}", f"{bundle}.{i // len(APPS) + 1}"
        apps.append({"pid": 500 + i, "name": name, "bundle_id": bundle, "bundle_path": path, "icon": icon})
    apps[4]["hidden"] = True
    apps.append({"pid": 480, "name": "Dock", "bundle_id": "com.apple.dock", "policy": "accessory"})
    apps.append({"pid": 481, "name": "SystemUIServer", "bundle_id": "com.apple.systemuiserver",
                 "policy": "accessory"})
    apps.append({"pid": 482, "name": "talagent", "policy": "prohibited"})

    windows = []
    wid = 1000
    for k in range(n_windows):
        app = apps[k % n_apps]
        wid += rng.randint(1, 9)
        space = rng.choice(sorted(user_spaces))
        frame = user_spaces[space]["frame"]
        w, h = rng.randint(320, 1400), rng.randint(240, 900)
        w, h = min(w, frame[2]), min(h, frame[3] - 40)
        x = frame[0] + rng.randint(0, frame[2] - w)
        y = frame[1] + 33 + rng.randint(0, frame[3] - h - 33)
        win = {"wid": wid, "pid": app["pid"], "bounds": [x, y, w, h],
               "title": f"{rng.choice(WORDS)} {k + 1}", "spaces": [space]}
        roll = rng.random()
        if roll < 0.08:
            win["minimized"] = True
        elif roll < 0.12:
            win["spaces"] = [space, rng.choice(sorted(user_spaces))]
            win["spaces"] = sorted(set(win["spaces"]))
        elif roll < 0.15:
            win["subrole"] = "AXDialog"
        elif roll < 0.17:
            win["ax_listed"] = False
        windows.append(win)
    # One full-screen window on the full-screen Space, and the usual system windows.
    windows.append({"wid": wid + 1, "pid": apps[1]["pid"], "bounds": [0, 0, 1512, 982],
                    "title": "Presentation", "spaces": [9], "fullscreen": True})
    windows.append({"wid": 90, "pid": 480, "layer": 20, "bounds": [0, 916, 1512, 66], "spaces": []})
    windows.append({"wid": 91, "pid": 481, "layer": 25, "bounds": [0, 0, 1512, 33], "spaces": []})
    windows.append({"wid": 92, "pid": 481, "layer": 3, "bounds": [1400, 0, 40, 33], "spaces": []})
    windows.append({"wid": 93, "pid": 480, "layer": -2147483624, "bounds": [0, 0, 1512, 982],
                    "spaces": [], "desktop": True})
    return {"displays": displays, "apps": apps, "windows": windows, "front": apps[0]["pid"],
            "self_pid": 4242}


def write(name, data):
    with open(name, "w") as f:
        json.dump(data, f, indent=1)
        f.write("\n")


if __name__ == "__main__":
    write("office.json", desktop(29, 10, 30))
    write("crowd.json", desktop(199, 25, 200))
