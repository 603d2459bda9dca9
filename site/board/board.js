// The fleet board: every box's uplink and every wheel's state, live, from the site broker over MQTT on
// WebSockets.
// It reads four kinds of topic, all readable with the site's read accounts:
//   /rng/roulette/kestrin_live/<serial>/bridgeStatus  the bridge's retained status (JSON, with a will)
//   /rng/roulette/kestrin_live/<serial>/gameStatus    the wheel's documents
//   /rng/roulette/kestrin_live/<serial>/ledger        what the site's ledger holds of it, retained
//   /rng/roulette/kestrin_live/site/ledger            whether the ledger is storing, retained, with a will
//   $SYS/broker/connection/<box>/state                each box's uplink, "1" or "0", retained
// The broker is the one that served this page. A link's ?broker=wss://HOST:PORT naming another is
// used only once the person confirms it, and an account remembered for one broker is never sent to
// another: a link could otherwise send it to anyone's.
'use strict';

const kRoot = '/rng/roulette/kestrin_live/';
const kStaleMs = 150 * 1000;  // the bridge speaks at least once a minute
const kTestWheel = '9999';
// Connections in a row that the broker closed within this time of accepting them: another client with
// the same account is taking the session's place, since the broker names each session after its account.
const kShortLivedMs = 30 * 1000;
const kShortLivedLimit = 3;
const kLateMs = 30 * 1000;  // as the alert rule KestrinLedgerLate
const kBehindMs = 60 * 1000;  // as the alert rule KestrinLedgerBehind
let ledgerState = null;  // the ledger's own status

const boxes = new Map();   // name -> { up: true/false/null, since: ms or null, sinceSeen: bool }
const wheels = new Map();  // serial -> { status, statusAt, statusLive, doc, docAt, ledger, unconfirmedSince, row }
const loadedAt = Date.now();
const decoder = new TextDecoder();
let client = null;
let dirty = false;

const $ = (sel) => document.querySelector(sel);

const ownBroker = location.protocol === 'file:' ? 'wss://localhost:8080'
  : (location.protocol === 'https:' ? 'wss://' : 'ws://') + location.host;
let broker = ownBroker;

// The broker a link names, or null when it names none or this page's own.
function namedBroker() {
  const named = new URLSearchParams(location.search).get('broker');
  if (!named) return null;
  let url;
  try { url = new URL(named); } catch (e) { return null; }
  if (url.protocol !== 'ws:' && url.protocol !== 'wss:') return null;
  const origin = url.protocol + '//' + url.host;
  return origin === ownBroker ? null : origin + url.pathname.replace(/^\/$/, '');
}

// The account remembered for this tab or this browser, only for the broker it was given for.
function savedAccount(url) {
  for (const store of [sessionStorage, localStorage]) {
    let account = null;
    try { account = JSON.parse(store.getItem('kestrin-account')); } catch (e) { /* none */ }
    if (account && account.broker === url) return account;
  }
  return null;
}

function askAccount(why) {
  $('#login').hidden = false;
  $('#login-broker').textContent = broker;
  $('#login-error').textContent = why;
}

function connect(account) {
  if (client) client.end(true);
  // The site broker makes the identifier the account's name; this one is for a broker that does not.
  const options = { clientId: 'kestrin-board-' + Math.random().toString(16).slice(2, 10),
                    protocolVersion: 5, clean: true, reconnectPeriod: 2000, connectTimeout: 8000 };
  if (account) { options.username = account.user; options.password = account.password; }
  const mine = client = mqtt.connect(broker, options);
  let connectedAt = 0;
  let shortLived = 0;
  client.on('connect', () => {
    connectedAt = Date.now();
    $('#link').textContent = 'connected to ' + broker;
    $('#link').className = 'link-up';
    $('#login').hidden = true;
    client.subscribe([kRoot + '+/bridgeStatus', kRoot + '+/gameStatus', kRoot + '+/ledger',
                      '$SYS/broker/connection/+/state'], { qos: 0 });
  });
  client.on('close', () => {
    if (client !== mine) return;
    if (connectedAt && !mine.disconnecting)
      shortLived = Date.now() - connectedAt < kShortLivedMs ? shortLived + 1 : 0;
    connectedAt = 0;
    if (shortLived >= kShortLivedLimit) {
      shortLived = 0;
      return takenOver();
    }
    $('#link').textContent = 'not connected to ' + broker + (mine.disconnecting ? '' : ' (retrying)');
    $('#link').className = 'link-down';
  });
  client.on('error', (err) => {
    // A refused account (MQTT 5's 134 and 135, 3.1.1's 4 and 5): retrying cannot help.
    if (err && [4, 5, 134, 135].includes(err.code)) {
      mine.end(true);
      askAccount(account ? 'the broker refused this account' : '');
    }
  });
  // The same account logged in elsewhere took this session's place: taking it back at once would
  // throw the other off in turn, for ever. An MQTT 5 broker may say so (reason 0x8e); mosquitto 2.0.11
  // only closes the connection, which the count of short-lived connections above sees.
  function takenOver() {
    mine.end(true);
    $('#link').textContent = 'not connected to ' + broker;
    askAccount(`another board or application logged in as ${account ? account.user : 'this account'}` +
               ' and took its place; connect again to take it back, or use an account of your own');
  }
  client.on('disconnect', (packet) => { if (packet && packet.reasonCode === 0x8e) takenOver(); });
  client.on('message', onMessage);
}

function onMessage(topic, payload, packet) {
  const text = decoder.decode(payload);
  const now = Date.now();
  let m = /^\$SYS\/broker\/connection\/([^/]+)\/state$/.exec(topic);
  if (m) {
    if (text === '') { boxes.delete(m[1]); markDirty(); return; }  // a retired box
    const box = boxOf(m[1]);
    const up = text.trim() === '1';
    if (box.up !== up) {
      box.up = up;
      box.since = packet.retain ? null : now;  // a retained state is older than this page
    }
    markDirty();
    return;
  }
  if (topic === kRoot + 'site/ledger') {
    try { ledgerState = text === '' ? null : JSON.parse(text); } catch (e) { return; }
    markDirty();
    return;
  }
  m = /^\/rng\/roulette\/kestrin_live\/([^/]+)\/(bridgeStatus|gameStatus|ledger)$/.exec(topic);
  if (!m) return;
  if (text === '') {  // a cleared status: the wheel was moved or its box retired
    const kind = m[2] === 'ledger' ? 'ledger' : 'status';
    if (m[2] !== 'gameStatus' && wheels.has(m[1])) { wheels.get(m[1])[kind] = null; markDirty(); }
    return;
  }
  let doc;
  try { doc = JSON.parse(text); } catch (e) { return; }
  const wheel = wheelOf(m[1]);
  if (m[2] === 'ledger') {
    if (ledgerMark(wheel.ledger).text !== ledgerMark(doc).text ||
      signatureMark(wheel.ledger).text !== signatureMark(doc).text) markDirty();
    wheel.ledger = doc;
    if (!packet.retain) wheel.unconfirmedSince = 0;
  } else if (m[2] === 'gameStatus') {
    wheel.doc = doc;
    wheel.docAt = now;
    if (!wheel.unconfirmedSince) wheel.unconfirmedSince = now;
  } else {
    if (!wheel.status || wheel.status.state !== doc.state) markDirty();
    wheel.status = doc;
    // A retained status may be old: its own time says when the bridge sent it.
    const sent = Date.parse(doc.time);
    wheel.statusAt = packet.retain && !isNaN(sent) ? Math.min(sent, now) : now;
    wheel.statusLive = !packet.retain;
    if (doc.box) boxOf(doc.box);
  }
}

// A change of a state is drawn at the next frame, not at the next tick.
function markDirty() {
  if (dirty) return;
  dirty = true;
  requestAnimationFrame(render);
}

function boxOf(name) {
  if (!boxes.has(name)) { boxes.set(name, { up: null, since: null }); markDirty(); }
  return boxes.get(name);
}

function wheelOf(serial) {
  if (!wheels.has(serial)) {
    wheels.set(serial, { status: null, statusAt: 0, statusLive: false, doc: null, docAt: 0, ledger: null,
                         unconfirmedSince: 0, row: null });
    markDirty();
  }
  return wheels.get(serial);
}

// What the ledger says of a wheel's documents: a conflict (a number stored with other bytes) is worse
// than a ledger that has not confirmed the wheel's documents of the last minute (not storing, or
// gone), which is worse than an open gap, which a replay may still close.
function ledgerMark(l, wheel) {
  if (!l) return { text: '', cls: '' };
  if (l.conflicts > 0) return { text: 'conflict', cls: 'st-bad' };
  if (wheel && wheel.unconfirmedSince && Date.now() - wheel.unconfirmedSince > kBehindMs)
    return { text: 'behind', cls: 'st-bad' };
  if (l.missing > 0 || (Array.isArray(l.gaps) && l.gaps.length)) return { text: 'gap', cls: 'st-bad' };
  return { text: 'complete', cls: 'st-ok' };
}

// What the ledger says of the wheel's signatures: documents kept apart (unsigned, an unknown key, a bad
// signature or a broken link) are worse than a fork, the box's own chain going on after a power cut.
function signatureMark(l) {
  if (!l) return { text: '', cls: '', title: '' };
  if (l.rejected > 0) {
    return { text: 'kept apart', cls: 'st-bad',
             title: `${l.rejected} documents kept apart; the newest: ${l.rejectedReason || ''}` };
  }
  if (l.forks > 0) return { text: 'fork', cls: 'st-warn', title: `${l.forks} records of forks; see kestrin-ledger verify` };
  if (!l.checkpoint) return { text: 'no checkpoint', cls: 'st-warn', title: 'the ledger has no key to sign with' };
  return { text: 'signed', cls: 'st-ok', title: 'every document stored is signed by its box; the checkpoint is signed' };
}

// What the board says of a wheel: its box's uplink and the status's age come before what the bridge
// last said, which is not true any more once the box is cut off or the bridge has gone quiet.
function verdict(wheel, now) {
  const v = bridgeVerdict(wheel, now);
  // A wheel whose documents have a hole or a conflict at the site is a problem, however it runs.
  const bad = ledgerMark(wheel.ledger, wheel).cls === 'st-bad' || signatureMark(wheel.ledger).cls === 'st-bad';
  return v.rank > 3 && bad ? { ...v, rank: 3 } : v;
}

function bridgeVerdict(wheel, now) {
  const s = wheel.status;
  if (!s) return { text: wheel.doc ? 'no status' : 'unknown', cls: 'st-unknown', rank: 5 };
  const box = s.box ? boxes.get(s.box) : null;
  if (box && box.up === false) return { text: 'unreachable', cls: 'st-unreach', rank: 1 };
  if (s.state === 'offline') return { text: 'offline', cls: 'st-bad', rank: 0 };
  if (s.state === 'stopped') return { text: 'stopped', cls: 'st-off', rank: 4 };
  if (now - wheel.statusAt > kStaleMs) return { text: 'stale', cls: 'st-stale', rank: 1 };
  if (s.state === 'serial device lost') return { text: s.state, cls: 'st-bad', rank: 0 };
  if (s.state === 'publishing') return { text: s.state, cls: 'st-ok', rank: 6 };
  return { text: s.state, cls: 'st-warn', rank: 2 };
}

function age(ms) {
  if (ms < 0) ms = 0;
  const s = Math.floor(ms / 1000);
  if (s < 60) return s + ' s';
  if (s < 3600) return Math.floor(s / 60) + ' min ' + (s % 60) + ' s';
  return Math.floor(s / 3600) + ' h ' + Math.floor((s % 3600) / 60) + ' min';
}

function plural(n, one, many) { return n + ' ' + (n === 1 ? one : many || one + 's'); }

function clock(ms) { return new Date(ms).toLocaleTimeString([], { hour12: false }); }

function since(wheel, v) {
  const s = wheel.status;
  if (!s) return '';
  const at = Date.parse(s.since);
  if (!isNaN(at)) return clock(at);
  // The will carries no time: the broker sent it when the bridge vanished.
  return wheel.statusLive ? clock(wheel.statusAt) : 'before ' + clock(loadedAt);
}

function count(n, bad) {
  if (n === undefined || n === null) return ['', ''];
  return [String(n), n === 0 ? 'zero' : (bad ? 'count-bad' : '')];
}

function setCell(td, text, cls) {
  if (td.textContent !== text) td.textContent = text;
  if ((td.className || '') !== (cls || '')) td.className = cls || '';
}

function renderWheel(serial, wheel, v, now) {
  if (!wheel.row) {
    wheel.row = document.createElement('tr');
    wheel.row.dataset.wheel = serial;
    for (let i = 0; i < 24; i++) wheel.row.appendChild(document.createElement('td'));
    for (const i of [1, 14, 22]) wheel.row.cells[i].appendChild(document.createElement('span'));
    if (serial === kTestWheel) wheel.row.classList.add('test');
  }
  const s = wheel.status || {};
  const d = wheel.doc || {};
  const c = wheel.row.cells;
  wheel.row.dataset.state = v.text;
  setCell(c[0], serial);
  setCell(c[1].firstChild, v.text, 'state ' + v.cls);
  setCell(c[2], since(wheel, v));
  setCell(c[3], s.box || '');
  setCell(c[4], d['game id'] !== undefined ? String(d['game id']) : '');
  setCell(c[5], d.phase !== undefined ? String(d.phase) : '');
  setCell(c[6], d['win number'] !== undefined && d['win number'] >= 0 ? String(d['win number']) : '');
  setCell(c[7], wheel.docAt ? age(now - wheel.docAt) + ' ago' : '');
  setCell(c[8], ...count(s.published, false));
  setCell(c[9], ...count(s.dropped, true));
  setCell(c[10], ...count(s.malformed, true));
  setCell(c[11], ...count(s.unconfirmed, true));
  setCell(c[12], ...count(s['seconds behind'], true));
  setCell(c[13], wheel.statusAt ? age(now - wheel.statusAt) + ' ago' : '');
  const l = wheel.ledger || {};
  const mark = ledgerMark(wheel.ledger, wheel);
  wheel.row.dataset.ledger = mark.text;
  setCell(c[14].firstChild, mark.text, mark.cls && 'state ' + mark.cls);
  setCell(c[15], l.seq !== undefined ? String(l.seq) : '');
  setCell(c[16], ...count(l.missing, true));
  c[16].title = Array.isArray(l.gaps) ? l.gaps.map(([a, b]) => (a === b ? a : a + '-' + b)).join(', ') : '';
  setCell(c[17], ...count(l.conflicts, true));
  setCell(c[18], ...count(l.duplicates, false));
  setCell(c[19], ...count(l.restarts, false));
  setCell(c[20], ...count(l.missedGames, true));
  setCell(c[21], typeof l.latenessMs === 'number' ? (l.latenessMs / 1000).toFixed(1) + ' s' : '',
          l.latenessMs > kLateMs ? 'count-bad' : '');
  const sig = signatureMark(wheel.ledger);
  wheel.row.dataset.signature = sig.text;
  setCell(c[22].firstChild, sig.text, sig.cls && 'state ' + sig.cls);
  c[22].title = sig.title;
  setCell(c[23], s.version || '');  // a rolling upgrade's progress, box by box
}

function renderBoxes(now, verdicts) {
  const host = $('#boxes');
  const names = [...boxes.keys()].sort();
  for (const el of [...host.children]) if (!boxes.has(el.dataset.box)) el.remove();
  names.forEach((name, i) => {
    const box = boxes.get(name);
    let el = host.querySelector(`[data-box="${CSS.escape(name)}"]`);
    if (!el) {
      el = document.createElement('div');
      el.dataset.box = name;
      el.innerHTML = '<div class="name"></div><div class="uplink"></div><div class="wheels"></div>';
    }
    if (host.children[i] !== el) host.insertBefore(el, host.children[i] || null);
    const state = box.up === null ? 'unknown' : box.up ? 'up' : 'down';
    el.className = 'box ' + state;
    el.dataset.up = box.up === null ? '' : box.up ? '1' : '0';
    const sinceText = box.since ? 'since ' + clock(box.since) : 'before ' + clock(loadedAt);
    const mine = verdicts.filter((x) => x.wheel.status && x.wheel.status.box === name);
    const bad = mine.filter((x) => x.v.rank < 6).length;
    setCell(el.children[0], name);
    setCell(el.children[1], box.up === null ? 'uplink state unknown' : 'uplink ' + state + ', ' + sinceText);
    setCell(el.children[2], plural(mine.length, 'wheel') +
                            (bad ? ', ' + bad + ' with a problem' : ''));
  });
}

function render() {
  const now = Date.now();
  const verdicts = [...wheels].map(([serial, wheel]) => ({ serial, wheel, v: verdict(wheel, now) }));
  // Problems first, worst first; then by box and serial.
  verdicts.sort((a, b) => a.v.rank - b.v.rank ||
                (a.wheel.status?.box || '').localeCompare(b.wheel.status?.box || '') ||
                (a.serial === kTestWheel) - (b.serial === kTestWheel) || Number(a.serial) - Number(b.serial));
  const body = $('#wheels tbody');
  const problemsOnly = $('#problems-only').checked;
  let i = 0;
  for (const { serial, wheel, v } of verdicts) {
    renderWheel(serial, wheel, v, now);
    const show = !problemsOnly || v.rank < 6;
    wheel.row.hidden = !show;
    if (body.rows[i] !== wheel.row) body.insertBefore(wheel.row, body.rows[i] || null);
    i++;
  }
  renderBoxes(now, verdicts);
  const tally = new Map();
  for (const { v } of verdicts) tally.set(v.text, (tally.get(v.text) || 0) + 1);
  $('#summary').innerHTML = '';
  $('#summary').append(`${plural(verdicts.length, 'wheel')}, ${plural(boxes.size, 'box', 'boxes')}: `);
  for (const [text, n] of [...tally].sort()) {
    const b = document.createElement('b');
    b.textContent = `${n} ${text}`;
    $('#summary').append(b, ' ');
  }
  renderLedger();
  dirty = false;
}

// The ledger itself: storing, or not (and why, since when, how many it holds), stopped or gone.
function renderLedger() {
  const l = ledgerState;
  const el = $('#ledger');
  const state = l ? l.state : 'unknown';
  let text = 'ledger ' + state;
  if (l && l.state === 'not storing')
    text += (l.since ? ' since ' + clock(Date.parse(l.since)) : '') + (l.reason ? ': ' + l.reason : '') +
            ` (${plural(l.held || 0, 'document')} held, the rest waits at the broker)`;
  if (l && l.refused) text += `, ${plural(l.refused, 'document')} over the size bound refused`;
  if (l && l.unstored) text += `, ${plural(l.unstored, 'document')} taken and not stored`;
  el.dataset.state = state;
  setCell(el, text, state === 'storing' ? 'link-up' : 'link-down');
}

$('#login').addEventListener('submit', (e) => {
  e.preventDefault();
  const f = e.target;
  const account = { broker, user: f.user.value, password: f.password.value };
  sessionStorage.setItem('kestrin-account', JSON.stringify(account));
  if (f.remember.checked) localStorage.setItem('kestrin-account', JSON.stringify(account));
  connect(account);
});
$('#problems-only').addEventListener('change', render);

// Ages and staleness move with the clock.
setInterval(render, 1000);
const elsewhere = namedBroker();
if (elsewhere) {
  // Nothing is sent anywhere before the person says where.
  $('#elsewhere-url').textContent = elsewhere;
  $('#own-url').textContent = ownBroker;
  $('#elsewhere').hidden = false;
  $('#elsewhere').addEventListener('click', (e) => {
    if (e.target.tagName !== 'BUTTON') return;
    e.preventDefault();
    $('#elsewhere').hidden = true;
    if (e.target.name === 'other') broker = elsewhere;
    connect(savedAccount(broker));
  });
} else {
  connect(savedAccount(broker));
}
