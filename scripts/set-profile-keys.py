#!/usr/bin/env python3
"""Sets keys of one section of a settings file the way the monitor reads it:
section and key names case-insensitive, the first line of a key is the one
that counts, everything else in the file is kept. Creates the file, the section
or the key when missing; replaces the file in one step.

    set-profile-keys.py FILE SECTION KEY=VALUE...
"""
import os
import sys
import tempfile


def section_name(line):
    text = line.strip()
    if text.startswith("[") and "]" in text:
        return text[1:text.index("]")].strip().lower()
    return None


def set_keys(lines, section, values):
    wanted = section.lower()
    pending = dict((k.strip().lower(), (k.strip(), v)) for k, v in values)
    out = []
    current = None
    section_seen = False

    def flush_pending():
        for key, value in pending.values():
            out.append(f"{key}={value}\n")
        pending.clear()

    for line in lines:
        name = section_name(line)
        if name is not None:
            if current == wanted:
                flush_pending()
            current = name
            section_seen = section_seen or name == wanted
            out.append(line)
            continue
        if current == wanted and "=" in line:
            key = line.split("=", 1)[0].strip().lower()
            if key in pending:
                original, value = pending.pop(key)
                out.append(f"{line.split('=', 1)[0]}={value}\n")
                continue
        out.append(line)
    if current == wanted:
        flush_pending()
    if pending:
        if out and not out[-1].endswith("\n"):
            out[-1] += "\n"
        if not section_seen:
            out.append(f"[{section}]\n")
        flush_pending()
    return out


def main(argv):
    if len(argv) < 4 or any("=" not in a for a in argv[3:]):
        sys.stderr.write(__doc__)
        return 2
    path, section = argv[1], argv[2]
    values = [a.split("=", 1) for a in argv[3:]]
    try:
        with open(path, encoding="latin-1", newline="") as f:
            lines = f.readlines()
    except FileNotFoundError:
        lines = []
    folder = os.path.dirname(os.path.abspath(path))
    fd, temporary = tempfile.mkstemp(dir=folder, prefix=".set-keys-")
    with os.fdopen(fd, "w", encoding="latin-1", newline="") as f:
        f.writelines(set_keys(lines, section, values))
    os.replace(temporary, path)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
