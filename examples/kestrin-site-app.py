#!/usr/bin/python3
# Every game's result of every wheel, each once, across this application's own downtime: a site
# application of the wheel status bridge (docs/guides/write-a-site-application.md). Debian's
# python3-paho-mqtt; the results in an SQLite file of its own.
import argparse, json, sqlite3, subprocess
import paho.mqtt.client as mqtt
from paho.mqtt.packettypes import PacketTypes
from paho.mqtt.properties import Properties

WHEELS = "/rng/roulette/kestrin_live/+/"
a = argparse.ArgumentParser()
a.add_argument("--host", default="localhost")
a.add_argument("--port", type=int, default=1883)
a.add_argument("--cafile", help="the site's CA, for TLS (port 8883)")
a.add_argument("--account", required=True, help="the read account of kestrin-site app-account")
a.add_argument("--password-file", required=True)
a.add_argument("--results", default="results.db")
a.add_argument("--ledger", default="kestrin-ledger", help="e.g. 'ssh root@broker.site.example kestrin-ledger'")
args = a.parse_args()

db = sqlite3.connect(args.results)
db.executescript("""CREATE TABLE IF NOT EXISTS wheels(wheel INTEGER PRIMARY KEY, seq INTEGER, game INTEGER);
CREATE TABLE IF NOT EXISTS results(wheel INTEGER, game INTEGER, win INTEGER, seq INTEGER, captured TEXT);""")
held = {}  # wheel -> {seq: (payload, captured)}: documents that came before an earlier one


def taken(wheel):  # the wheel's last seq taken, and the game of its last result
    return db.execute("SELECT seq, game FROM wheels WHERE wheel = ?", (wheel,)).fetchone() or (0, None)


def take(wheel, seq, payload, captured):
    seq_taken, game = taken(wheel)
    if seq <= seq_taken:
        return  # this document again (QoS 1, a bridge's replay, the ledger's copy): taken already
    held.setdefault(wheel, {})[seq] = (payload, captured)
    while seq_taken + 1 in held[wheel]:  # in the wheel's order, none skipped
        seq_taken += 1
        document = json.loads(held[wheel].pop(seq_taken)[0])
        # A game's result: the first document of the game with a winning number.
        if 0 <= document["win number"] <= 36 and document["game id"] != game:
            game = document["game id"]
            db.execute("INSERT INTO results VALUES (?, ?, ?, ?, ?)", (wheel, game, document["win number"], seq_taken, captured))
            print(f"wheel {wheel} game {game}: {document['win number']}", flush=True)
        db.execute("INSERT OR REPLACE INTO wheels VALUES (?, ?, ?)", (wheel, seq_taken, game))
    db.commit()  # before the broker has our acknowledgement: a crash here gets the document again


def catch_up(wheel, confirmed):  # what the broker dropped for us, from the ledger, which has it
    first = taken(wheel)[0] + 1
    command = args.ledger.split() + ["export", "--wheel", str(wheel), "--from-seq", str(first),
                                     "--to-seq", str(confirmed), "--format", "json"]
    for record in json.loads(subprocess.run(command, check=True, capture_output=True).stdout)["records"]:
        if "kind" in record:
            continue  # a record the ledger kept apart (a conflict, a fork, an unsigned document)
        take(wheel, record["seq"], bytes.fromhex(record["payload"]), record["captured"])


def on_message(client, userdata, message):
    serial = message.topic.split("/")[4]
    if not serial.isdigit() or int(serial) == 9999:
        return  # the ledger's own status ("site"), the test wheel
    wheel = int(serial)
    if message.topic.endswith("/ledger"):  # the ledger has every document of the wheel up to "seq"
        confirmed = json.loads(message.payload)["seq"]
        if confirmed > taken(wheel)[0]:
            catch_up(wheel, confirmed)
        return
    properties = dict(getattr(message.properties, "UserProperty", []))
    if "seq" in properties:  # "replayed" ones too: a result is a result, however late
        take(wheel, int(properties["seq"]), message.payload, properties["captured"])


client = mqtt.Client(client_id=args.account, protocol=mqtt.MQTTv5)
client.username_pw_set(args.account, open(args.password_file).read().strip())
if args.cafile:
    client.tls_set(ca_certs=args.cafile)
client.on_connect = lambda c, u, f, r, p: c.subscribe([(WHEELS + "gameStatus", 1), (WHEELS + "ledger", 1)])
client.on_message = on_message
session = Properties(PacketTypes.CONNECT)
session.SessionExpiryInterval = 7 * 24 * 3600  # the broker queues for us while we are away
client.connect(args.host, args.port, keepalive=20, clean_start=False, properties=session)
client.loop_forever()
