#!/usr/bin/env python3
"""Checks a kestrin-ledger bundle with nothing but the file: the reference verifier of
docs/reference/bundle.md, written from that page alone (Python 3's standard library).

Usage: verify_bundle.py BUNDLE
Prints the verdict on its first line (as `kestrin-ledger verify --file` does), then what it means.
Exit status: 0 proved, 1 altered or incomplete, 2 unreadable.
"""
import calendar
import hashlib
import json
import re
import struct
import sys
import time

TIME = re.compile(r"(\d{4})-(\d\d)-(\d\d)T(\d\d):(\d\d):(\d\d)\.(\d{3})Z\Z")
LOWER_HEX = re.compile(r"(?:[0-9a-f]{2})*\Z")
HASH_HEX = re.compile(r"[0-9a-fA-F]{64}\Z")


class Unreadable(Exception):
    pass


def count(v, limit=2**64 - 1):
    """A JSON integer from 0 to limit (booleans and numbers with a point are not)."""
    return type(v) is int and 0 <= v <= limit


def time_ms(text):
    """The canonical time text (from 1970) as ms since 1970 UTC; None unless it is written exactly so."""
    m = TIME.match(text) if isinstance(text, str) else None
    if not m:
        return None
    y, mo, d, h, mi, s, ms = (int(g) for g in m.groups())
    if not (1970 <= y and 1 <= mo <= 12 and 1 <= d <= 31 and h <= 23 and mi <= 59 and s <= 60):
        return None
    seconds = calendar.timegm((y, mo, d, h, mi, s, 0, 0, 0))  # 31 November becomes 1 December
    back = time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(seconds)) + ".%03dZ" % ms
    return seconds * 1000 + ms if back == text else None


def unhex(text):
    if not isinstance(text, str) or not LOWER_HEX.match(text):
        raise Unreadable("hex")
    return bytes.fromhex(text)


def record(v, wheel):
    """A record's fields as bytes and integers; Unreadable unless written as the exporter writes them."""
    if not isinstance(v, dict):
        raise Unreadable("not an object")
    r = {k: v.get(k) for k in ("pos", "seq", "epoch", "replayed")}
    if not all(count(x) for x in r.values()) or r["replayed"] > 1:
        raise Unreadable("a number")
    cap = v.get("captured")
    if not isinstance(cap, str):
        raise Unreadable("captured")
    r["captured"] = unhex(cap[4:]) if cap.startswith("hex:") else cap.encode("utf-8")
    r["arrived"] = time_ms(v.get("arrived"))
    if r["arrived"] is None:
        raise Unreadable("arrived")
    r["payload"] = unhex(v.get("payload"))
    for k in ("prev", "hash"):
        if not isinstance(v.get(k), str) or not HASH_HEX.match(v[k]):
            raise Unreadable(k)
        r[k] = bytes.fromhex(v[k])
    r["wheel"] = wheel
    return r


def record_hash(r):
    """SHA-256 over the chain's layout: prev, wheel, pos, seq, epoch, arrived, replayed, captured, payload."""
    cap = r["captured"]
    data = (r["prev"] + struct.pack(">IQQQqB", r["wheel"], r["pos"], r["seq"], r["epoch"], r["arrived"],
                                   r["replayed"]) + struct.pack(">H", len(cap) & 0xFFFF) + cap[:0xFFFF]
            + struct.pack(">I", len(r["payload"])) + r["payload"])
    return hashlib.sha256(data).digest()


def game_fields(payload):
    """"game id" and "win number" of a payload: 32-bit integers (an integral number counts), else -1."""
    try:
        doc = json.loads(payload)
    except (ValueError, UnicodeDecodeError):
        return -1, -1
    if not isinstance(doc, dict):
        return -1, -1

    def member(key):
        x = doc.get(key)
        if type(x) is float and x.is_integer():
            x = int(x)
        return x if type(x) is int and -2**31 <= x < 2**31 else -1
    return member("game id"), member("win number")


def no_duplicates(pairs):
    keys = [k for k, _ in pairs]
    if len(keys) != len(set(keys)):
        raise Unreadable("a member twice")
    return dict(pairs)


def verdict(path):
    try:
        with open(path, "rb") as f:
            text = f.read().decode("utf-8")
        root = json.loads(text, object_pairs_hook=no_duplicates, parse_constant=lambda c: 1 / 0)
    except (OSError, ValueError, ZeroDivisionError, Unreadable):
        return 2, "unreadable: not JSON, or cut short"
    if not isinstance(root, dict):
        return 2, "unreadable: not JSON, or cut short"
    wheel, items = root.get("wheel"), root.get("records")
    if not count(wheel, 2**32 - 1) or not isinstance(items, list) or not items:
        return 2, 'unreadable: no "wheel" or no "records"'
    rows = []
    for i, v in enumerate(items):
        try:
            rows.append(record(v, wheel))
        except Unreadable:
            return 2, "unreadable: record %d of the file is not a ledger record" % (i + 1)
    if "from" not in root:  # an older export: its range is the records marked selected
        seqs = [r["seq"] for r, v in zip(rows, items) if "selected" not in v or v["selected"] is True]
        first, last = (min(seqs), max(seqs)) if seqs else (None, None)
    else:
        first, last, game = root.get("from"), root.get("to"), root.get("game", 0)
        if not (count(first) and count(last) and 0 < first <= last and count(game, 9999)):
            return 2, 'unreadable: "from", "to" or "game" is not a seq range or a game id'

    for i, r in enumerate(rows):
        if (i and r["pos"] != rows[i - 1]["pos"] + 1) or (i and r["prev"] != rows[i - 1]["hash"]) \
                or record_hash(r) != r["hash"]:
            return 1, "altered: record %d" % r["pos"]
    if first is None:
        return 1, "incomplete: no record in the range"
    present = sorted({r["seq"] for r in rows})
    seq = first
    for s in present:
        if s > seq:
            break
        if s == seq:
            seq += 1
    if seq <= last:
        after = [s for s in present if s > seq]
        return 1, "incomplete: seq %d to %d missing" % (seq, min(after[0] - 1, last) if after else last)

    line = "proved: wheel %d, seq %d to %d" % (wheel, first, last)
    if "game" in root:
        gid = root["game"]
        inside = sorted((r for r in rows if first <= r["seq"] <= last), key=lambda r: r["seq"])
        fields = [game_fields(r["payload"]) for r in inside]
        ids = [g for g, _ in fields]
        if gid not in ids:
            return 1, "incomplete: no document of game %d" % gid
        a, b = ids.index(gid), len(ids) - ids[::-1].index(gid)
        for k in range(a, b):
            if ids[k] != gid:
                return 1, "incomplete: game %d is interrupted at seq %d" % (gid, inside[k]["seq"])
        if a == 0 and inside[0]["seq"] != 1:
            return 1, "incomplete: game %d may begin before seq %d" % (gid, inside[0]["seq"])
        if b == len(ids):
            return 1, "incomplete: game %d may go on after seq %d" % (gid, inside[b - 1]["seq"])
        wins = [w for _, w in fields[a:b] if 0 <= w <= 36]
        line += ", game %d at seq %d to %d, result %s" % (gid, inside[a]["seq"], inside[b - 1]["seq"],
                                                           wins[0] if wins else "none")
    conflicts = root.get("conflicts") if isinstance(root.get("conflicts"), list) else []
    return 0, "\n".join([
        line,
        "Records %d to %d of the ledger's chain follow hash %s and end with hash %s." % (
            rows[0]["pos"], rows[-1]["pos"], rows[0]["prev"].hex(), rows[-1]["hash"].hex()),
        "%d conflicting document(s) at these seqs, not in the chain." % len(conflicts),
        "Not proven by the file alone: that this head is the site's (compare it with one you hold), "
        "and that the box sent the documents (no box signatures or site checkpoints in this version)."])


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit("usage: verify_bundle.py BUNDLE")
    status, text = verdict(sys.argv[1])
    print(text)
    sys.exit(status)
