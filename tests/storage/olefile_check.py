"""Checks a compound file with an independent reader (Debian's python3-olefile, strict mode).

Usage: /usr/bin/python3 olefile_check.py FILE EXPECTED.json

EXPECTED.json: {"clsid": "{...}", "major": 3, "storages": ["a", "a/b"], "streams": {"a/b/s": "<hex bytes>"}}
Paths use "/" and are compared with their exact letter case. Besides the expected content, every storage's
sibling tree must list its children in the order the format defines (shorter names first, then by upper-cased
UTF-16 code units): readers that search the tree instead of walking it depend on that order.

Prints "OK" and exits 0, or prints each problem found and exits 1. Exit 2: olefile is not available.
"""
import json
import sys

try:
    import olefile
except ImportError:
    print("olefile is not installed for this interpreter")
    sys.exit(2)

NOSTREAM = 0xFFFFFFFF


def name_key(name):
    units = name.encode("utf-16-le")
    codes = [units[i] | units[i + 1] << 8 for i in range(0, len(units), 2)]
    upper = []
    for code in codes:
        if 0xD800 <= code <= 0xDFFF:
            upper.append(code)
            continue
        u = chr(code).upper()
        upper.append(ord(u) if len(u) == 1 and ord(u) <= 0xFFFF else code)
    return (len(codes), upper)


def in_order(entries, sid, out, seen):
    # Iterative: a damaged tree must not hang the checker either.
    stack = []
    while stack or sid != NOSTREAM:
        while sid != NOSTREAM:
            if sid in seen or sid >= len(entries) or entries[sid] is None:
                out.append(None)
                return
            seen.add(sid)
            stack.append(sid)
            sid = entries[sid].sid_left
        sid = stack.pop()
        out.append(entries[sid].name)
        sid = entries[sid].sid_right


def main():
    if len(sys.argv) != 3:
        print(__doc__)
        return 1
    path, expected_path = sys.argv[1], sys.argv[2]
    with open(expected_path, encoding="utf-8") as f:
        expected = json.load(f)
    problems = []
    if not olefile.isOleFile(path):
        print("not a compound file")
        return 1
    try:
        ole = olefile.OleFileIO(path, raise_defects=olefile.DEFECT_INCORRECT)
    except Exception as e:  # olefile raises plain exceptions for every defect it meets
        print("olefile refuses the file: %s" % e)
        return 1

    if "major" in expected and ole.dll_version != expected["major"]:
        problems.append("major version %d, expected %d" % (ole.dll_version, expected["major"]))

    want_clsid = expected.get("clsid", "{00000000-0000-0000-0000-000000000000}").strip("{}").upper()
    got_clsid = (ole.root.clsid or "00000000-0000-0000-0000-000000000000").upper()
    if got_clsid != want_clsid:
        problems.append("root class id %s, expected %s" % (got_clsid, want_clsid))

    storages, streams = set(), set()
    for parts in ole.listdir(streams=False, storages=True):
        storages.add("/".join(parts))
    for parts in ole.listdir(streams=True, storages=False):
        streams.add("/".join(parts))
    want_storages = set(expected.get("storages", []))
    want_streams = expected.get("streams", {})
    for s in sorted(want_storages - storages):
        problems.append("storage missing: %s" % s)
    for s in sorted(storages - want_storages):
        problems.append("unexpected storage: %s" % s)
    for s in sorted(set(want_streams) - streams):
        problems.append("stream missing: %s" % s)
    for s in sorted(streams - set(want_streams)):
        problems.append("unexpected stream: %s" % s)
    for s in sorted(set(want_streams) & streams):
        data = ole.openstream(s.split("/")).read()
        want = bytes.fromhex(want_streams[s])
        if data != want:
            problems.append("stream %s: %d bytes differ from the expected %d" % (s, len(data), len(want)))

    entries = ole.direntries
    for sid, entry in enumerate(entries):
        if entry is None or entry.entry_type not in (olefile.STGTY_STORAGE, olefile.STGTY_ROOT):
            continue
        names = []
        in_order(entries, entry.sid_child, names, set())
        if None in names:
            problems.append("storage %r: sibling tree is broken" % entry.name)
            continue
        keys = [name_key(n) for n in names]
        if any(keys[i] >= keys[i + 1] for i in range(len(keys) - 1)):
            problems.append("storage %r: siblings out of order: %r" % (entry.name, names))
    ole.close()

    if problems:
        print("\n".join(problems))
        return 1
    print("OK")
    return 0


if __name__ == "__main__":
    sys.exit(main())
