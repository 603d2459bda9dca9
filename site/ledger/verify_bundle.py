#!/usr/bin/env python3
"""verify_bundle.py BUNDLE: checks a kestrin-ledger bundle with nothing but the file, as docs/reference/bundle.md
says (written from that page alone: Python's standard library and the `openssl` command). The verdict is the
first line printed, as `kestrin-ledger verify --file` prints it; exit status 0 proved, 1 not, 2 unreadable."""
import base64, calendar, hashlib, json, os, re, struct, subprocess, sys, tempfile, time

TIME = re.compile(r"([0-9]{4})-([0-9]{2})-([0-9]{2})T([0-9]{2}):([0-9]{2}):([0-9]{2})\.([0-9]{3})Z\Z")
HEX = re.compile(r"(?:[0-9a-f]{2})*\Z")
HASH = re.compile(r"[0-9a-fA-F]{64}\Z")
PREV = re.compile(r"([1-9][0-9]*):([0-9a-fA-F]{64})\Z")
BODY = re.compile(r"[^\n]*/wheel/([0-9]+)\n[0-9]+\n[A-Za-z0-9+/=]{44}\nhead ([0-9a-f]{64})\ntime ([0-9]+)\n\Z")
sha = lambda b: hashlib.sha256(b).digest()

def count(v, limit=2**64 - 1):  # a JSON integer (not a boolean, no point) from 0 to limit
    return type(v) is int and 0 <= v <= limit

def utc(ms):
    return time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(ms // 1000)) + ".%03dZ" % (ms % 1000)

def time_ms(text):  # the canonical time text (from 1970) as ms, written exactly so
    m = TIME.match(text) if isinstance(text, str) else None
    y, mo, d, h, mi, s, ms = (int(g) for g in m.groups()) if m else (0,) * 7
    if not (y >= 1970 and 1 <= mo <= 12 and 1 <= d <= 31 and h <= 23 and mi <= 59 and s <= 60):
        raise ValueError()
    value = calendar.timegm((y, mo, d, h, mi, s, 0, 0, 0)) * 1000 + ms  # 31 November is 1 December
    if utc(value) != text:
        raise ValueError()
    return value

def decode(text):  # a text member: as it stands, or after "hex:" its bytes in lowercase hex
    if not isinstance(text, str) or (text.startswith("hex:") and not HEX.match(text[4:])):
        raise ValueError()
    return bytes.fromhex(text[4:]) if text.startswith("hex:") else text.encode("utf-8")

def b64(text, size):  # canonical base64 of size bytes
    raw = base64.b64decode(text, validate=True)
    if len(raw) != size or base64.b64encode(raw) != (text if isinstance(text, bytes) else text.encode()):
        raise ValueError()
    return raw

def record(v, wheel):
    r = {k: v.get(k) for k in ("pos", "seq", "epoch", "replayed")} if isinstance(v, dict) else {"pos": None}
    texts = [v.get(k) if isinstance(v.get(k), str) else "-" for k in ("payload", "prev", "hash")]
    if not all(count(x) for x in r.values()) or r["replayed"] > 1 or not HEX.match(texts[0]) \
            or not all(HASH.match(t) for t in texts[1:]):
        raise ValueError()
    r.update(wheel=wheel, captured=decode(v.get("captured")), arrived=time_ms(v.get("arrived")),
             payload=bytes.fromhex(v["payload"]), prev=bytes.fromhex(v["prev"]), hash=bytes.fromhex(v["hash"]))
    r.update({k: decode(v.get(k, "")) for k in ("kind", "note", "docprev", "key", "sig")})
    return r

def cut(b, n=2):  # length (n bytes) and bytes, as the layouts write a text
    return (struct.pack(">H", len(b) & 0xFFFF) + b[:0xFFFF]) if n == 2 else struct.pack(">B", len(b) & 0xFF) + b[:0xFF]

def record_hash(r):  # the chain's layout; a record kept apart adds its kind, note and the box's properties
    data = r["prev"] + struct.pack(">IQQQqB", r["wheel"], r["pos"], r["seq"], r["epoch"], r["arrived"],
                                   r["replayed"]) + cut(r["captured"]) + struct.pack(">I", len(r["payload"])) + r["payload"]
    if r["kind"]:
        data += cut(r["kind"], 1) + b"".join(cut(r[k]) for k in ("note", "docprev", "key", "sig"))
    return sha(data)

def ed25519(public, message, signature):  # openssl, the key as SubjectPublicKeyInfo (RFC 8410)
    with tempfile.TemporaryDirectory() as d:
        for name, content in (("k", b"0*0\x05\x06\x03+ep\x03!\x00" + public), ("m", message), ("s", signature)):
            with open(os.path.join(d, name), "wb") as f:
                f.write(content)
        return subprocess.run(["openssl", "pkeyutl", "-verify", "-pubin", "-keyform", "DER", "-inkey",
                               os.path.join(d, "k"), "-rawin", "-in", os.path.join(d, "m"), "-sigfile",
                               os.path.join(d, "s")], capture_output=True).returncode == 0

def vkey(entry):  # a key of the bundle: role, name, key id, public key, from its vkey
    try:
        name, tag, text = entry["vkey"].split("+")
        raw = b64(text, 33)
        assert raw[0] == 1 and name == entry["name"] and sha(name.encode() + b"\n" + raw)[:4].hex() == tag
        assert entry["role"] in ("box", "site")
    except (KeyError, TypeError, AttributeError, AssertionError):
        raise ValueError()
    return entry["role"], name, sha(raw[1:]).hex()[:16], raw[1:]

def box_check(r, boxes):  # the box's H of a document, and its signature: 1 good, 0 not checked, -1 fails
    m = PREV.match(r["docprev"].decode("utf-8", "replace"))
    if (r["docprev"] and not m) or b"\0" in r["captured"] or len(r["captured"]) > 0xFFFF:
        return None, -1
    msg = b"kestrin-document-v1\0" + cut(str(r["wheel"]).encode()) + struct.pack(">QQ", r["seq"], r["epoch"]) \
        + cut(r["captured"]) + struct.pack(">Q", int(m.group(1)) if m else 0) \
        + (bytes.fromhex(m.group(2)) if m else bytes(32)) + struct.pack(">I", len(r["payload"])) + r["payload"]
    key = boxes.get(r["key"].decode("utf-8", "replace"))
    if not r["sig"] or not key:
        return sha(msg), 0
    try:
        return sha(msg), 1 if ed25519(key[1], msg, b64(r["sig"], 64)) else -1
    except ValueError:
        return sha(msg), -1

def note_time(note, site, wheel, head):  # a checkpoint signed by the site, of the wheel, naming head
    body, _, lines = note.partition("\n\n")
    m = BODY.match(body + "\n")
    for line in lines.splitlines() if m and int(m.group(1)) == wheel and bytes.fromhex(m.group(2)) == head else []:
        name, _, text = line[2:].partition(" ") if line.startswith("\u2014 ") else ("", "", "")
        try:
            raw = b64(text, 68)
        except ValueError:
            continue
        if name == site[1] and raw[:4] == sha(name.encode() + b"\n\x01" + site[3])[:4] \
                and ed25519(site[3], (body + "\n").encode(), raw[4:]):
            return int(m.group(3))
    return None

def game_fields(payload):  # "game id" and "win number": 32-bit integers (an integral number counts), else -1
    try:
        doc = json.loads(payload)
    except (ValueError, UnicodeDecodeError):
        doc = {}
    doc, out = doc if isinstance(doc, dict) else {}, []
    for x in (doc.get("game id"), doc.get("win number")):
        x = int(x) if type(x) is float and x.is_integer() else x
        out.append(x if type(x) is int and -2**31 <= x < 2**31 else -1)
    return out

def unique(pairs):  # a member twice makes the file unreadable
    return dict(pairs) if len({k for k, _ in pairs}) == len(pairs) else 1 / 0

def verdict(path):
    try:
        with open(path, "rb") as f:
            root = json.loads(f.read().decode("utf-8"), object_pairs_hook=unique, parse_constant=lambda c: 1 / 0)
        assert isinstance(root, dict)
    except (OSError, ValueError, ZeroDivisionError, AssertionError):
        return 2, "unreadable: not JSON, or cut short"
    wheel, items, notes = root.get("wheel"), root.get("records"), root.get("checkpoints", [])
    if not count(wheel, 2**32 - 1) or not isinstance(items, list) or not items:
        return 2, 'unreadable: no "wheel" or no "records"'
    rows = []
    for i, v in enumerate(items):
        try:
            rows.append(record(v, wheel))
        except ValueError:
            return 2, "unreadable: record %d of the file is not a ledger record" % (i + 1)
    try:
        keys = [vkey(e) for e in root.get("keys", [])]
    except (ValueError, TypeError):
        return 2, "unreadable: a key of the file is not a verifier key"
    if not isinstance(notes, list) or not all(isinstance(n, str) for n in notes):
        return 2, "unreadable: a checkpoint of the file is not a signed note"
    if "from" not in root:  # an older export: its range is the records marked selected
        seqs = [r["seq"] for r, v in zip(rows, items) if "selected" not in v or v["selected"] is True]
        first, last = (min(seqs), max(seqs)) if seqs else (None, None)
    else:
        first, last = root.get("from"), root.get("to")
        if not (count(first) and count(last) and 0 < first <= last and count(root.get("game", 0), 9999)):
            return 2, 'unreadable: "from", "to" or "game" is not a seq range or a game id'

    for i, r in enumerate(rows):  # the chain
        if (i and (r["pos"] != rows[i - 1]["pos"] + 1 or r["prev"] != rows[i - 1]["hash"])) \
                or record_hash(r) != r["hash"]:
            return 1, "altered: record %d" % r["pos"]
    boxes = {k[2]: (k[1], k[3]) for k in keys if k[0] == "box"}
    site = ([k for k in keys if k[0] == "site"] or [None])[-1]
    checked, at = {}, {}  # the range's box signatures; the box's H of the documents (and forks) at each seq
    for r in rows:
        if not r["kind"] or (r["kind"] == b"fork" and r["payload"]):
            h, checked[r["pos"]] = box_check(r, boxes if not r["kind"] and first is not None and first <= r["seq"] <= last else {})
            if not r["kind"] and checked[r["pos"]] < 0:
                return 1, "altered: record %d" % r["pos"]
            at.setdefault(r["seq"], []).append(h)
    present, skipped = set(), []  # the links: prev names the box's H of a document at prevseq
    for r in (r for r in rows if not r["kind"]):
        present.add(r["seq"])
        m = PREV.match(r["docprev"].decode("utf-8", "replace"))
        if m and bytes.fromhex(m.group(2)) not in at.get(int(m.group(1)), [bytes.fromhex(m.group(2))]):
            return 1, "altered: record %d" % r["pos"]
        skipped += [(int(m.group(1)) + 1, r["seq"] - 1)] if m and int(m.group(1)) + 1 < r["seq"] else []
    covered = ""
    for i, note in enumerate(notes if site else []):
        when = note_time(note, site, wheel, rows[-1]["hash"])
        if when is None:
            return 1, "altered: checkpoint %d" % (i + 1)
        covered = ", covered by %s's checkpoint of %s" % (site[1], utc(when))
    seq = first if first is not None else 1
    while first is not None and seq <= last:  # every seq stored, or skipped at the box
        span = [b for a, b in skipped if a <= seq <= b]
        if seq not in present and not span:
            ends = [s - 1 for s in present if s > seq] + [a - 1 for a, b in skipped if a > seq] + [last]
            return 1, "incomplete: seq %d to %d missing" % (seq, min(ends))
        seq = seq + 1 if seq in present else max(span) + 1
    if first is None:
        return 1, "incomplete: no record in the range"

    line = "proved: wheel %d, seq %d to %d" % (wheel, first, last)
    inside = sorted((r for r in rows if not r["kind"] and first <= r["seq"] <= last), key=lambda r: r["seq"])
    if "game" in root:  # the game's documents, bounded each side by another game's (or seq 1)
        gid, fields = root["game"], [game_fields(r["payload"]) for r in inside]
        ids = [g for g, _ in fields]
        a, b = (ids.index(gid), len(ids) - ids[::-1].index(gid)) if gid in ids else (0, 0)
        odd = [k for k in range(a, b) if ids[k] != gid]
        why = "no document of game %d" % gid if a == b else "game %d is interrupted at seq %d" % (
            gid, inside[odd[0]]["seq"]) if odd else "game %d may begin before seq %d" % (
            gid, inside[0]["seq"]) if a == 0 and inside[0]["seq"] != 1 else "game %d may go on after seq %d" % (
            gid, inside[-1]["seq"]) if b == len(ids) else ""
        if why:
            return 1, "incomplete: " + why
        wins = [w for _, w in fields[a:b] if 0 <= w <= 36]
        line += ", game %d at seq %d to %d, result %s" % (gid, inside[a]["seq"], inside[b - 1]["seq"],
                                                           wins[0] if wins else "none")
    good = [r for r in inside if checked.get(r["pos"]) == 1]
    signers = sorted({"%s (key %s)" % (boxes[r["key"].decode()][0], r["key"].decode()) for r in good})
    line += ", unsigned" if not good else ", %d of %d unsigned" % (len(inside) - len(good), len(inside)) \
        if len(good) < len(inside) else ", signed by " + " and ".join(signers)
    prints = "; ".join("%s %s SHA256:%s" % (k[0], k[1], sha(k[3]).hex()) for k in keys) or "none in the file"
    return 0, "%s%s\nRecords %d to %d of the ledger's chain follow hash %s and end with hash %s.\n" \
        "Not proven by the file alone: that its keys are the ones they name; compare the fingerprints: %s" % (
            line, covered, rows[0]["pos"], rows[-1]["pos"], rows[0]["prev"].hex(), rows[-1]["hash"].hex(), prints)

if __name__ == "__main__":
    status, text = verdict(sys.argv[1]) if len(sys.argv) == 2 else (2, "usage: verify_bundle.py BUNDLE")
    print(text)
    sys.exit(status)
