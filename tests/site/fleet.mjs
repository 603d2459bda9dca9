// The fleet seen from the site, run by tests/site_e2e inside the site's network namespace, which also
// made each box's namespace and link.
import { execFile, execFileSync, spawn, spawnSync } from 'node:child_process';
import { createHash, createPrivateKey, sign } from 'node:crypto';
import { readFileSync, writeFileSync, mkdirSync, existsSync } from 'node:fs';
import { chromium } from 'playwright-core';

const { KT_TAG: tag, KT_BUILD: build, KT_SOURCE: source, KT_WORK: work } = process.env;
const boxes = [1, 2, 3].map((i) => ({ i, name: `box${i}`, ns: `kbox${i}-${tag}`, serial: 10 + i,
                                       dir: `${work}/box${i}`, procs: {} }));
const children = [];
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
const sh = (cmd, env) => execFileSync('bash', ['-ec', cmd],
  { env: { ...process.env, ...env }, encoding: 'utf8', stdio: ['ignore', 'pipe', 'pipe'] });
const siteEnv = { KESTRIN_SITE_DIR: `${work}/site`, KESTRIN_SITE_CONF: `${work}/site-conf/kestrin-site.conf`,
  KESTRIN_SITE_BOARD: `${work}/board`, KESTRIN_SITE_RELOAD: 'true', KESTRIN_SITE_SYSTEMCTL: 'true',
  KESTRIN_SITE_CREDSTORE: `${work}/site-cred`, KESTRIN_SITE_KEYS: `${work}/ledger-etc/box-keys`,
  KESTRIN_SITE_LEDGER: `${build}/kestrin-ledger` };
const topic = (serial, kind) => `/rng/roulette/kestrin_live/${serial}/${kind}`;
const admin = (args) => sh(`${source}/site/kestrin-site ${args}`, siteEnv);
const adminAsync = (args) => new Promise((resolve, reject) => execFile('bash', ['-ec',
  `${source}/site/kestrin-site ${args}`], { env: { ...process.env, ...siteEnv } },
  (err, out, errOut) => (err ? reject(new Error(`kestrin-site ${args}: ${errOut}`)) : resolve(out))));
// A read account's password, from its options file for mosquitto_sub.
const secret = (name) => readFileSync(`${work}/site/` +
  `${name === 'kestrin-reader' ? 'reader' : `accounts/${name}`}/mosquitto_sub`, 'utf8').match(/-P (\S+)/)[1];

function start(argv, log) {
  const child = spawn(argv[0], argv.slice(1), { stdio: ['ignore', 'pipe', 'pipe'] });
  child.out = '';
  child.stdout.on('data', (d) => { child.out += d; });
  child.stderr.on('data', (d) => { child.out += d; });
  child.on('exit', () => { if (log) writeFileSync(log, child.out); });
  children.push(child);
  return child;
}

async function until(what, ms, check) {
  for (const end = Date.now() + ms; Date.now() < end; await sleep(200)) if (await check()) return;
  throw new Error(`not within ${ms / 1000} s: ${what}`);
}

async function mosquitto(ns, dir, port) {
  const prefix = ns ? ['ip', 'netns', 'exec', ns, 'unshare', '--mount', 'sh', '-c',
                      `mount --bind ${dir}/hosts /etc/hosts && exec mosquitto -c ${dir}/main.conf`]
                    : ['mosquitto', '-c', `${dir}/main.conf`];
  writeFileSync(`${dir}/main.conf`, `persistence true\npersistence_location ${dir}/\n` +
                `log_dest file ${dir}/mosquitto.log\nlog_type all\ninclude_dir ${dir}/conf.d\n`);
  const broker = start(prefix);
  const probe = `${ns ? `ip netns exec ${ns} ` : ''}bash -c 'exec 3<>/dev/tcp/127.0.0.1/${port}'`;
  await until(`mosquitto in ${dir} listening`, 10000, () => {
    try { sh(probe); return true; } catch { return false; }
  });
  return broker;
}

// A document's properties prev, key and sig, as a box signs them (docs/reference/signatures.md).
const sha256 = (b) => createHash('sha256').update(b).digest();
function signed(box, serial, seq, epoch, captured, payload, prevSeq, prevHash) {
  const u = (n, bytes) => { const b = Buffer.alloc(bytes); b.writeUIntBE(n, 0, Math.min(bytes, 6)); return b; };
  const text = (t, bytes) => Buffer.concat([u(Buffer.byteLength(t), bytes), Buffer.from(t)]);
  const m = Buffer.concat([Buffer.from('kestrin-document-v1\0'), text(String(serial), 2), u(0, 2), u(seq, 6),
    u(0, 2), u(epoch, 6), text(captured, 2), u(0, 2), u(prevSeq, 6), prevSeq ? prevHash : Buffer.alloc(32),
    text(payload, 4)]);
  const key = createPrivateKey(readFileSync(`${box.dir}/box.key`));
  const pub = Buffer.from(key.export({ format: 'jwk' }).x, 'base64url');
  const props = [['key', sha256(pub).subarray(0, 8).toString('hex')], ['sig', sign(null, m, key).toString('base64')]];
  if (prevSeq) props.push(['prev', `${prevSeq}:${prevHash.toString('hex')}`]);
  return { hash: sha256(m), props };
}

function bridged(box) {
  box.procs.bridge = start(['ip', 'netns', 'exec', box.ns, 'unshare', '--uts', 'sh', '-c',
                            `hostname ${box.name} && KESTRIN_JOURNAL_DIRECTORY=${box.dir}/journal ` +
                            `KESTRIN_BOX_KEY=${box.dir}/box.key KESTRIN_SITE_VKEY=${work}/ledger-etc/site.vkey ` +
                            `exec ${build}/kestrin_bridged ${box.dir}/tty`],
                           `${box.dir}/bridged.log`);
}

// --- The site broker, configured as a site would be: kestrin-site setup, one account per box. -----
const ca = `${work}/ca.crt`;
sh(`cd ${work}
  ec='-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes'
  openssl req -x509 $ec -days 1 -subj '/CN=site test CA' -keyout ca.key -out ca.crt
  openssl req $ec -subj /CN=site.kestrin.test -keyout site.key -out site.csr
  echo subjectAltName=DNS:site.kestrin.test,DNS:localhost >site.ext
  openssl x509 -req -in site.csr -CA ca.crt -CAkey ca.key -CAcreateserial -days 1 -extfile site.ext \
    -out site.crt
  chmod 644 site.key`);
admin(`setup ${work}/site.crt ${work}/site.key`);
// Each box's key, as its package makes it; the site records the line kestrin_bridged --print-key prints.
for (const b of boxes) {
  mkdirSync(b.dir, { recursive: true });
  b.vkey = sh(`openssl genpkey -algorithm ed25519 -out ${b.dir}/box.key
    KESTRIN_BOX_KEY=${b.dir}/box.key KESTRIN_BOX_NAME=${b.name} ${build}/kestrin_bridged --print-key`)
    .split('\n')[0];
}
// All at once: each run waits for the one before it, and none loses another's box or account.
const added = await Promise.all([...boxes.map((b) => adminAsync(`add-box ${b.name} --key ${b.vkey} ${b.serial}`)),
                                 ...['app1', 'app2', 'app3'].map((a) => adminAsync(`app-account ${a}`))]);
boxes.forEach((box, i) => { box.password = /@SITE_PASSWORD@ (\S+)/.exec(added[i])[1]; });
const listed = admin('list');
for (const name of ['box1: 11', 'box2: 12', 'box3: 13', 'read account app1', 'read account app2',
                    'read account app3', 'read account kestrin-board'])
  if (!listed.split('\n').includes(name)) throw new Error(`kestrin-site list lacks "${name}":\n${listed}`);
const reader = secret('kestrin-reader');
mkdirSync(`${work}/sitebroker/conf.d`, { recursive: true });
sh(`cp ${work}/site-conf/kestrin-site.conf ${work}/sitebroker/conf.d/ && chown mosquitto ${work}/sitebroker`);
const siteBroker = await mosquitto(null, `${work}/sitebroker`, 1883);  // its last listener, the ledger's
siteEnv.KESTRIN_SITE_RELOAD = `kill -HUP ${siteBroker.pid}`;
// The ledger's database on a file system of its own, which the test fills (this mount namespace is the
// test's own: ip netns exec made it).
const ledgerDb = `${work}/ledgerfs/ledger.db`;
sh(`mkdir -p ${work}/ledgerfs && mount -t tmpfs -o size=64m tmpfs ${work}/ledgerfs`);
const ledgerRun = [`${build}/kestrin-ledger`, 'run', '--account', `${work}/site-cred/kestrin-ledger.account`,
                   '--database', ledgerDb, '--keys', `${work}/ledger-etc/box-keys`,
                   '--key', `${work}/site-cred/kestrin-ledger.key`];
const ledger = start(ledgerRun, `${work}/ledger.log`);

// --- The boxes: the package's lock, the uplink example filled in, a wheel and its bridge. ---------
const example = readFileSync(`${source}/examples/kestrin-uplink.conf`, 'utf8');
for (const box of boxes) {
  const d = box.dir;
  mkdirSync(`${d}/conf.d`, { recursive: true });
  mkdirSync(`${d}/cred`, { recursive: true });
  sh(`echo '192.0.2.1 site.kestrin.test' >${d}/hosts; echo '127.0.0.1 localhost' >>${d}/hosts
    sed 's|/etc/mosquitto/|${d}/|; s|/usr/share/kestrin-bridge/|${d}/|' \
      ${source}/debian/mosquitto/kestrin-bridge.conf >${d}/conf.d/kestrin-bridge.conf
    cp ${source}/debian/mosquitto/kestrin-bridge.acl ${d}/kestrin-bridge-access.acl
    mosquitto_passwd -c -b ${d}/kestrin-bridge.passwd kestrin-bridge bridge-secret
    mosquitto_passwd -c -b ${d}/kestrin-reader.passwd kestrin-reader reader-secret
    chmod 644 ${d}/kestrin-*.passwd
    chown mosquitto ${d}
    echo kestrin-bridge:bridge-secret >${d}/cred/broker`);
  const values = { SITE_BROKER_HOST: 'site.kestrin.test', SITE_BROKER_PORT: '8883', SITE_CA_FILE: ca,
                   SITE_USER: box.name, SITE_PASSWORD: box.password, BOX_NAME: box.name };
  writeFileSync(`${d}/conf.d/kestrin-uplink.conf`,
                example.replace(/@([A-Z_]+)@/g, (m, name) => (name in values ? values[name] : m)));
  box.procs.broker = await mosquitto(box.ns, d, 1883);
  box.procs.wheel = start([`${build}/kestrin_wheel_sim`, '--rate', '5',
                           '--serial', String(box.serial).padStart(4, '0'), '--link', `${d}/tty`]);
}
await until('the wheels\' links', 5000, () => boxes.every((b) => existsSync(`${b.dir}/tty`)));
process.env.CREDENTIALS_DIRECTORY = `${boxes[0].dir}/cred`;  // the same account on every box
// The ledger's session first: a wheel's documents before it are not the site's to count.
await until('the ledger connected', 30000, () => ledger.out.includes('Connected to the broker'));
for (const box of boxes) bridged(box);

// --- The exporters for the wheels and the ledger, each with its own account, as the site runs them. ---
for (const [kind, port] of [['wheels', 9641], ['ledger', 9643]])
  start(['env', ...readFileSync(`${work}/site/accounts/kestrin-exporter-${kind}/env`, 'utf8').split('\n')
    .filter(Boolean), 'prometheus-mqtt-exporter', '-config', `${source}/site/prometheus/kestrin-${kind}.yaml`,
    '-listen-address', '127.0.0.1', '-listen-port', String(port), '-log-level', 'warn'],
  `${work}/exporter-${kind}.log`);

// --- The board in a real browser. ---------------------------------------------------------------------
const browser = await chromium.launchPersistentContext(`${work}/chromium`, {
  executablePath: '/usr/bin/chromium',
  args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
         '--disable-background-networking', '--disable-component-update', '--disable-sync'] });
let failed = false;
try {
  const page = await browser.newPage();
  const t0 = Date.now();
  await page.goto('http://127.0.0.1:8080/');
  await page.fill('input[name=user]', 'kestrin-board');
  await page.fill('input[name=password]', secret('kestrin-board'));
  await page.check('input[name=remember]');
  await page.click('#login button');
  const states = () => page.$$eval('[data-wheel]',
    (rows) => Object.fromEntries(rows.map((r) => [r.dataset.wheel, r.dataset.state])));
  const uplinks = () => page.$$eval('[data-box]',
    (els) => Object.fromEntries(els.map((e) => [e.dataset.box, e.dataset.up])));
  const expect = async (what, ms, wheels, ups = {}) => until(what, ms, async () => {
    const s = await states(), u = await uplinks();
    return Object.entries(wheels).every(([w, st]) => s[w] === st) &&
           Object.entries(ups).every(([b, v]) => u[b] === v);
  }).catch(async (e) => {
    const seen = JSON.stringify([await states(), await uplinks()]);
    throw new Error(`${e.message}; the board shows ${seen}`);
  });
  const all = (state) => Object.fromEntries(boxes.map((b) => [b.serial, state]));
  const up = (v) => Object.fromEntries(boxes.map((b) => [b.name, v]));

  await expect('every wheel publishing, every box up', 30000, all('publishing'), up('1'));
  console.log(`board: 3 boxes and 3 wheels publishing ${Date.now() - t0} ms after the page was asked for`);
  // A rolling upgrade is followed on the board: each wheel's bridge version from its status.
  const version = execFileSync(`${process.env.KT_BUILD}/kestrin_bridged`, ['--version'])
    .toString().split(' ')[1].trim();
  const shown = await page.$eval(`[data-wheel="${boxes[0].serial}"]`,
    (r) => r.cells[r.cells.length - 1].textContent);
  if (shown !== version) throw new Error(`the board shows version '${shown}' for a bridge of ${version}`);

  // A wheel stopped, a bridge killed and a box cut off, all at once.
  const [b1, b2, b3] = boxes;
  b1.procs.wheel.kill('SIGSTOP');
  b2.procs.bridge.kill('SIGKILL');  // the spawned process is the bridge: each wrapper execs the next
  sh(`ip -n ${b3.ns} link set eth0 down`);
  const t1 = Date.now();
  await expect('offline', 30000, { [b2.serial]: 'offline' });
  console.log(`board: the killed bridge offline after ${Date.now() - t1} ms`);
  // The wheel takes 30 s to be silent: meanwhile what does not need the three of them.
  const silent = expect('silent and unreachable', 60000,
                        { [b1.serial]: 'wheel silent', [b3.serial]: 'unreachable' }, { box3: '0' });
  silent.catch(() => {});  // awaited below

  // A gap and its closing, a duplicate and a conflict, on the board and in the metrics: numbered
  // documents of a test wheel published by hand with box1's account, as its uplink would, to the ledger.
  admin('add-wheel box1 9999');
  admin('add-wheel box2 9998');
  // Signed with the box's key, each naming the hash of the first document its box signed at seq - 1.
  const chain = {}, captured = {};
  const signedDoc = (seq, text, box, serial) => {
    const payload = JSON.stringify({ 'game id': seq, text });
    captured[seq] ||= new Date().toISOString();
    const s = signed(box, serial, seq, 1, captured[seq], payload, seq - 1, chain[`${serial}/${seq - 1}`]);
    chain[`${serial}/${seq}`] ||= s.hash;
    return { payload, props: s.props };
  };
  const doc = (seq, text, replayed = [], box = b1, serial = 9999, unsigned = false) => {
    const { payload, props } = signedDoc(seq, text, box, serial);
    execFileSync('mosquitto_pub', ['-h', 'localhost', '-V', '5', '-q', '1', '-u', box.name, '-P', box.password,
      '-t', topic(serial, 'gameStatus'), ...replayed,
      ...[['seq', seq], ['epoch', 1], ['captured', captured[seq]], ...(unsigned ? [] : props)].flatMap(([k, v]) =>
        ['-D', 'publish', 'user-property', k, String(v)]), '-m', payload]);
  };
  for (const [seq, text] of [[1, 'one'], [2, 'two'], [3, 'three']]) signedDoc(seq, text, b1, 9999);
  const ledgerMetric = async (name, serial = 9999) => {
    const text = await (await fetch('http://127.0.0.1:9643/metrics')).text();
    return (new RegExp(`^${name}\\{sensor="${serial}",[^}]*\\} (\\S+)$`, 'm').exec(text) || [])[1];
  };
  const ledgerShown = async (mark, metric, value) => until(`wheel 9999: ledger "${mark}", ${metric} ${value}`,
    10000, async () => await ledgerMetric(metric) === value &&
      (await page.$eval('[data-wheel="9999"]', (r) => r.dataset.ledger).catch(() => '')) === mark);
  doc(1, 'one');
  doc(3, 'three');
  await ledgerShown('gap', 'kestrin_ledger_missing_documents', '1');
  // A box's account may not confirm, not even its own wheel.
  execFileSync('mosquitto_pub', ['-h', 'localhost', '-q', '1', '-r', '-u', 'box1', '-P', b1.password,
                                 '-t', topic(9999, 'ledger'), '-m', '{"seq":3,"gaps":[],"missing":0}']);
  const confirmation = sh(`mosquitto_sub -h localhost -u app2 -P '${secret('app2')}' -C 1 -W 5 \
    -t '${topic(9999, 'ledger')}'`);
  if (!/"missing" *: *1/.test(confirmation)) throw new Error(`box1 confirmed wheel 9999: ${confirmation}`);
  // Nor say for the ledger that it stores.
  execFileSync('mosquitto_pub', ['-h', 'localhost', '-q', '1', '-r', '-u', 'box1', '-P', b1.password,
                                 '-t', topic('site', 'ledger'), '-m', '{"state":"forged","storing":1}']);
  if (/forged/.test(sh(`mosquitto_sub -h localhost -u app2 -P '${secret('app2')}' -C 1 -W 5 \
    -t '${topic('site', 'ledger')}'`))) throw new Error('box1 wrote the ledger\'s status');
  // Each box reads its own wheels' confirmations only, as its uplink asks for them all.
  doc(1, 'one', [], b2, 9998);
  await until('wheel 9998 confirmed', 10000,
              async () => (await ledgerMetric('kestrin_ledger_seq', 9998)) === '1');
  const read1 = sh(`mosquitto_sub -h localhost -u box1 -P '${b1.password}' -v -C 2 -W 3 \
                    -t '${topic('+', 'ledger')}' || true`);
  if (!read1.includes(topic(9999, 'ledger')) || read1.includes(topic(9998, 'ledger')))
    throw new Error(`box1 reads of the confirmations: ${read1}`);
  doc(2, 'two', ['-D', 'publish', 'user-property', 'replayed', '1']);
  await ledgerShown('complete', 'kestrin_ledger_missing_documents', '0');
  doc(1, 'one');
  await ledgerShown('complete', 'kestrin_ledger_duplicates', '1');
  doc(3, 'three, told otherwise');
  await ledgerShown('conflict', 'kestrin_ledger_conflicts', '1');
  // Published with box1's account, but without its key's signature: kept apart, shown, counted.
  doc(4, 'four', [], b1, 9999, true);
  await until('wheel 9999: signatures "kept apart", 1 rejected', 10000, async () =>
    await ledgerMetric('kestrin_ledger_rejected_documents') === '1' &&
      (await page.$eval('[data-wheel="9999"]', (r) => r.dataset.signature).catch(() => '')) === 'kept apart');
  if ((await page.$eval(`[data-wheel="${b2.serial}"]`, (r) => r.dataset.signature)) !== 'signed')
    throw new Error('box2\'s wheel is not shown signed');
  // The site's ledger away (killed, as a crash would) while the wheels come back, box2's replays its
  // journal and box3's uplink its queue, until the end: the site broker keeps its session meanwhile.
  ledger.kill('SIGKILL');

  // On no listener does box1's account take box2's identifier (and throw box2's uplink off): it gets
  // its own name, whatever it asks for. Being box1, each throws box1's uplink off, and the uplink's
  // reconnect may throw it off in turn: how the publication ends does not matter, the log does.
  const as1 = ['-h', 'localhost', '-p', '8883', '--cafile', ca, '-u', 'box1', '-P', b1.password, '-q', '1'];
  spawnSync('mosquitto_pub', [...as1, '-i', 'box2', '-t', topic(b1.serial, 'gameStatus'), '-m', 'id'],
            { timeout: 10000 });
  spawnSync('mosquitto_pub', [...as1.slice(0, 2), '-p', '1883', ...as1.slice(6), '-i', 'box2',
                              '-t', topic(b1.serial, 'gameStatus'), '-m', 'id'], { timeout: 10000 });
  await page.evaluate(([password]) => new Promise((resolve) => {
    const c = mqtt.connect('ws://127.0.0.1:8080', { clientId: 'box2', username: 'box1', password,
                                                     reconnectPeriod: 0 });
    c.on('connect', () => c.end(false, resolve));
    c.on('close', resolve);
  }), [b1.password]);
  const siteLog = readFileSync(`${work}/sitebroker/mosquitto.log`, 'utf8');
  if (/ as box2 \([^)]*u'box1'/.test(siteLog))
    throw new Error('box1\'s account took box2\'s identifier');

  // Two boards of one account: the newer takes the session's place, the older says so and stops,
  // rather than take it back and be thrown off in turn for ever. (app3's, for this tab only.)
  const board = async () => {
    const p = await browser.newPage();
    await p.addInitScript((password) => sessionStorage.setItem('kestrin-account',
      JSON.stringify({ broker: 'ws://127.0.0.1:8080', user: 'app3', password })), secret('app3'));
    await p.goto('http://127.0.0.1:8080/');
    await p.waitForSelector('#link.link-up', { timeout: 10000 });
    return p;
  };
  const older = await board(), newer = await board();
  await older.waitForSelector('#login:not([hidden])', { timeout: 40000 });
  const told = await older.textContent('#login-error');
  if (!/took its place/.test(told)) throw new Error(`the older board says: ${told}`);
  await sleep(3000);  // longer than a board's reconnect period: the older must not have come back
  if (!/^connected/.test(await newer.textContent('#link')) || await older.isHidden('#login'))
    throw new Error(`the boards take the session from each other: ${await newer.textContent('#link')}`);
  await older.close();
  await newer.close();

  await silent;
  console.log(`board: wheel silent and the cut box's wheel unreachable after ${Date.now() - t1} ms`);

  // Each comes back.
  b1.procs.wheel.kill('SIGCONT');
  bridged(b2);
  sh(`ip -n ${b3.ns} link set eth0 up`);
  await expect('all back', 60000, all('publishing'), up('1'));

  // The exporter serves every wheel's figures from its status topic.
  const metrics = await (await fetch('http://127.0.0.1:9641/metrics')).text();
  for (const b of boxes) {
    if (!new RegExp(`kestrin_wheel_state\\{sensor="${b.serial}",[^}]*\\} 0`).test(metrics) ||
        !new RegExp(`kestrin_wheel_published_frames\\{sensor="${b.serial}",[^}]*\\} \\d`).test(metrics))
      throw new Error(`the exporter lacks wheel ${b.serial}'s figures:\n${metrics}`);
  }

  // A box's account writes its own wheels and state only: box1 forges box2's.
  const sub = start(['mosquitto_sub', '-h', 'localhost', '-u', 'app1', '-P', secret('app1'), '-v',
                     '-t', topic(b2.serial, '#'), '-t', topic(b1.serial, 'gameStatus'),
                     '-t', '$SYS/broker/connection/box2/state']);
  await sleep(500);
  for (const [t, retain] of [[topic(b2.serial, 'gameStatus'), []], [topic(b2.serial, 'bridgeStatus'), ['-r']],
                             ['$SYS/broker/connection/box2/state', ['-r']],
                             [topic(b1.serial, 'gameStatus'), []]])
    execFileSync('mosquitto_pub', [...as1, ...retain, '-t', t, '-m', 'forged']);
  const own = `${topic(b1.serial, 'gameStatus')} forged`;
  await until('box1\'s own publication at the site', 5000, () => sub.out.includes(own));
  if (/forged/.test(sub.out.replace(own, '')))
    throw new Error(`box1 wrote what is box2's:\n${sub.out}`);

  // An orderly stop says so; a retired box and its wheel's status are gone from the site.
  b1.procs.bridge.kill('SIGTERM');
  await expect('stopped', 10000, { [b1.serial]: 'stopped' });
  // A bridge gone quiet long ago (its last word retained, then nothing) is stale to a board opened later.
  // Written with the admin's account: box1's would throw box1's uplink off.
  const old = new Date(Date.now() - 600000).toISOString().replace(/\.\d+Z$/, 'Z');
  execFileSync('mosquitto_pub', ['-r', '-q', '1', '-t', topic(b1.serial, 'bridgeStatus'), '-m',
                                 JSON.stringify({ state: 'publishing', since: old, time: old, box: 'box1' })],
               { env: { ...process.env, XDG_CONFIG_HOME: `${work}/site/admin` } });
  await page.reload();
  await expect('stale after a reload', 10000, { [b1.serial]: 'stale', [b2.serial]: 'publishing' });
  start(ledgerRun, `${work}/ledger-again.log`);  // back, on the same database

  // A link to another broker: nothing goes there before the person confirms it, and then not the
  // account the board remembers for its own broker.
  mkdirSync(`${work}/other/conf.d`, { recursive: true });
  // (mosquitto 2.0.11 starts only with a plain listener beside its WebSockets one)
  writeFileSync(`${work}/other/conf.d/ws.conf`, 'listener 9002 127.0.0.1\nlistener 9001 127.0.0.1\n' +
                'protocol websockets\nsocket_domain ipv4\nallow_anonymous true\n');
  sh(`chown mosquitto ${work}/other`);
  await mosquitto(null, `${work}/other`, 9001);
  const otherLog = () => readFileSync(`${work}/other/mosquitto.log`, 'utf8');
  await page.goto('http://127.0.0.1:8080/?broker=ws://127.0.0.1:9001');
  await page.waitForSelector('#elsewhere:not([hidden])', { timeout: 10000 });
  await sleep(1000);
  if (/New client/.test(otherLog())) throw new Error('the board connected to the link\'s broker unasked');
  await page.click('#elsewhere button[name=other]');
  await until('the board at the link\'s broker', 10000, () => /New client connected/.test(otherLog()));
  if (/u'/.test(otherLog())) throw new Error(`the board sent an account to the link's broker: ${otherLog()}`);
  await page.goto('http://127.0.0.1:8080/');  // its own broker: the remembered account, unasked
  await expect('its own broker again', 10000, { [b2.serial]: 'publishing' });
  // The ledger's disk full for 30 s: it says so (board, metric), stores nothing and acknowledges
  // nothing more; what comes waits at the broker. No box restarts: what the checks below find stored,
  // every document once from seq 1, came through the ledger's session alone.
  const ledgerSays = async (state, ms) => until(`the ledger ${state} on the board and in the metrics`, ms,
    async () => await ledgerMetric('kestrin_ledger_storing', 'site') === (state === 'storing' ? '1' : '0') &&
      await page.$eval('#ledger', (e) => e.dataset.state) === state);
  await ledgerSays('storing', 30000);
  const filled = Date.now();
  sh(`dd if=/dev/zero of=${work}/ledgerfs/fill bs=64k 2>/dev/null || true`);
  // Commits go on while the WAL file has room it already had (it is reused, not shrunk).
  await ledgerSays('not storing', 60000);
  console.log(`ledger: not storing ${Date.now() - filled} ms after its disk filled`);
  await sleep(Math.max(0, 30000 - (Date.now() - filled)));
  sh(`rm ${work}/ledgerfs/fill`);
  const roomAt = Date.now();
  await ledgerSays('storing', 20000);
  console.log(`ledger: storing again ${Date.now() - roomAt} ms after its disk had room`);
  // The restarted box2 and the cut box3 stopped cleanly: every document their journals numbered, up to
  // the last seq each bridge says its broker took, is stored once at the site, and confirmed.
  for (const b of [b2, b3]) b.procs.bridge.kill('SIGTERM');
  for (const [b, epoch] of [[b2, 2], [b3, 1]]) {
    let status, confirmed;  // the bridge's last status on its own broker; the ledger's confirmation
    const last = (sub, kind) => JSON.parse(sh(`${sub} -C 1 -W 5 -t '${topic(b.serial, kind)}' -F %p`));
    await until(`wheel ${b.serial}: stopped, and confirmed up to its last seq`, 60000, () =>
      (status = last(`ip netns exec ${b.ns} mosquitto_sub -p 1882 -u kestrin-reader -P reader-secret`,
                     'bridgeStatus')).state === 'stopped' &&
      (confirmed = last(`mosquitto_sub -h localhost -u kestrin-reader -P '${reader}'`, 'ledger')).seq >=
        status.seq)
      .catch((e) => { throw new Error(`${e.message}: ${JSON.stringify([status, confirmed])}`); });
    if (status.epoch !== epoch || !(status.seq > 0))
      throw new Error(`wheel ${b.serial}'s last status: ${JSON.stringify(status)}`);
    const seqs = JSON.parse(sh(`${build}/kestrin-ledger export --wheel ${b.serial} --format json \
      --database ${ledgerDb}`)).records.filter((r) => !r.kind).map((r) => r.seq).sort((x, y) => x - y);
    // Seqs rise by one, but for those a killed bridge's next start skipped on purpose (the ledger's
    // `skipped`): no seq stored twice, none missing.
    const jumps = seqs.reduce((n, q, k) => n + (k > 0 ? q - seqs[k - 1] - 1 : q - 1), 0);
    if (confirmed.gaps.length || confirmed.conflicts || seqs.some((q, k) => k > 0 && q <= seqs[k - 1]) ||
        jumps !== (confirmed.skipped || 0) || seqs[seqs.length - 1] < status.seq)
      throw new Error(`wheel ${b.serial} (seq 1 to ${status.seq}) at the site: ${JSON.stringify(confirmed)}, ` +
                      `${seqs.length} stored, seq ${seqs[0]} to ${seqs[seqs.length - 1]}`);
    console.log(`ledger: wheel ${b.serial}, seq 1 to ${status.seq} of ${epoch} starts each stored once ` +
                `(${confirmed.duplicates} received twice, ${jumps} skipped by the box)`);
  }
  // The database checked against the checkpoints the ledger signed; with box2's wheel's last records
  // deleted, it contradicts them.
  const verify = () => spawnSync(`${build}/kestrin-ledger`, ['verify', '--database', ledgerDb,
    '--keys', `${work}/ledger-etc/box-keys`, '--site-key', `${work}/ledger-etc/site.vkey`], { encoding: 'utf8' });
  let verified = verify();
  if (verified.status !== 0 || !/its newest checkpoint/.test(verified.stdout))
    throw new Error(`verify: ${verified.stdout}${verified.stderr}`);
  sh(`sqlite3 ${ledgerDb} "DELETE FROM documents WHERE wheel = ${b2.serial} AND seq > 10"`);
  verified = verify();
  if (verified.status !== 1 || !new RegExp(`wheel ${b2.serial}: the checkpoint .* records were removed`)
    .test(verified.stdout)) throw new Error(`verify after a deletion: ${verified.stdout}${verified.stderr}`);
  admin('retire-box box3');
  // Its wheel's status gone: 'no status', or 'unknown' when no document came since the page loaded.
  await until('box3 gone from the board', 10000, async () => !('box3' in await uplinks()) &&
              ['no status', 'unknown'].includes((await states())[b3.serial]))
    .catch(async (e) => {
      throw new Error(`${e.message}: the board shows ${JSON.stringify([await states(), await uplinks()])}`);
    });
  const left = sh(`mosquitto_sub -h localhost -u kestrin-reader -P '${reader}' -v -W 2 \
    -t '$SYS/broker/connection/box3/state' -t '${topic(b3.serial, 'bridgeStatus')}' || true`);
  if (left.trim()) throw new Error(`retained at the site after retire-box: ${left}`);

  console.log('1 passed, 0 failed');
} catch (e) {
  failed = true;
  console.log(`FAIL: ${e.message}`);
  for (const box of boxes) for (const [name, p] of Object.entries(box.procs))
    if (name === 'bridge') console.log(`--- ${box.name} bridge:\n${p.out.split('\n').slice(-15).join('\n')}`);
  console.log(sh(`tail -n 30 ${work}/sitebroker/mosquitto.log; tail -n 15 ${work}/box3/mosquitto.log`));
  console.log('0 passed, 1 failed');
} finally {
  await browser.close();
  for (const child of children.reverse()) if (child.exitCode === null) child.kill('SIGKILL');
}
process.exit(failed ? 1 : 0);
