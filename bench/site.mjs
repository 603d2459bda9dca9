// bench/site's measurement: run by it, in a network namespace of its own.
import { execFileSync, spawn } from 'node:child_process';
import { readFileSync, writeFileSync, mkdirSync } from 'node:fs';
import { createRequire } from 'node:module';

const require = createRequire(new URL('../tests/site/', import.meta.url));
const { chromium } = require('playwright-core');
const [work, windowSeconds] = [process.argv[2], Number(process.argv[3])];
const source = new URL('..', import.meta.url).pathname;
const env = { ...process.env, KESTRIN_SITE_DIR: `${work}/site`, KESTRIN_SITE_BOARD: `${work}/board`,
              KESTRIN_SITE_CONF: `${work}/broker/conf.d/kestrin-site.conf`, KESTRIN_SITE_RELOAD: 'true',
              KESTRIN_SITE_SYSTEMCTL: 'true', KESTRIN_SITE_CREDSTORE: `${work}/cred` };
const sh = (cmd) => execFileSync('bash', ['-ec', cmd],
                                 { env, encoding: 'utf8', stdio: ['ignore', 'pipe', 'pipe'] });
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
const children = [];
const start = (argv, options) => {
  const child = spawn(argv[0], argv.slice(1), options);
  children.push(child);
  return child;
};
const hz = Number(sh('getconf CLK_TCK'));
const cpuSeconds = (pids) => pids.reduce((sum, pid) => {
  try {
    const f = readFileSync(`/proc/${pid}/stat`, 'utf8').split(') ')[1].split(' ');
    return sum + (Number(f[11]) + Number(f[12])) / hz;
  } catch { return sum; }
}, 0);
const listening = async (port) => {
  for (let i = 0; i < 100; i++, await sleep(100)) {
    try { sh(`exec 3<>/dev/tcp/127.0.0.1/${port}`); return; } catch { /* not yet */ }
  }
  throw new Error(`nothing listens on ${port}`);
};

try {
  sh(`cd ${work} && openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 \
        -subj /CN=localhost -addext subjectAltName=DNS:localhost -keyout site.key -out site.crt
      chmod 644 site.key`);
  mkdirSync(`${work}/broker`, { recursive: true });
  sh(`${source}/site/kestrin-site setup ${work}/site.crt ${work}/site.key`);
  const boxes = [];
  for (let b = 0; b < 10; b++) {
    const serials = Array.from({ length: 10 }, (_, i) => 100 + b * 10 + i);
    const out = sh(`${source}/site/kestrin-site add-box bench${b} ${serials.join(' ')}`);
    boxes.push({ name: `bench${b}`, serials, password: /@SITE_PASSWORD@ (\S+)/.exec(out)[1] });
  }
  const reader = readFileSync(`${work}/site/reader/mosquitto_sub`, 'utf8').match(/-P (\S+)/)[1];
  writeFileSync(`${work}/broker/main.conf`, `persistence_location ${work}/broker/\n` +
                `log_dest file ${work}/broker/log\ninclude_dir ${work}/broker/conf.d\n`);
  sh(`chown -R mosquitto ${work}/broker`);
  const broker = start(['mosquitto', '-c', `${work}/broker/main.conf`], { stdio: 'ignore' });
  await listening(8883);

  // Each box a mosquitto of its own with its uplink to the site; each wheel a publisher on its box:
  // its status once, retained, then a document every 200 ms.
  const publishers = [];
  const boxBrokers = [];
  const now = new Date().toISOString().replace(/\.\d+Z$/, 'Z');
  for (const [b, box] of boxes.entries()) {
    mkdirSync(`${work}/${box.name}`);
    writeFileSync(`${work}/${box.name}/main.conf`, `listener ${1900 + b} 127.0.0.1\nallow_anonymous true\n` +
      `connection uplink\naddress localhost:8883\nbridge_cafile ${work}/site.crt\n` +
      `remote_username ${box.name}\nremote_password ${box.password}\nremote_clientid ${box.name}\n` +
      'topic /rng/roulette/kestrin_live/# out 1\nnotifications true\n');
    boxBrokers.push(start(['mosquitto', '-c', `${work}/${box.name}/main.conf`], { stdio: 'ignore' }).pid);
    await listening(1900 + b);
  }
  for (const [b, box] of boxes.entries()) {
    const to = ['-h', '127.0.0.1', '-p', String(1900 + b), '-q', '1'];
    for (const s of box.serials) {
      const status = { state: 'publishing', since: now, time: now, box: box.name, device: '/dev/ttyUSB0',
                       version: '0.1.0', 'last frame': now, published: 0, dropped: 0, malformed: 0,
                       unconfirmed: 0, 'seconds behind': 0 };
      execFileSync('mosquitto_pub', [...to, '-r', '-t', `/rng/roulette/kestrin_live/${s}/bridgeStatus`,
                                     '-m', JSON.stringify(status)]);
      const documents = `/rng/roulette/kestrin_live/${s}/gameStatus`;
      publishers.push(start(['mosquitto_pub', ...to, '-l', '-t', documents],
                            { stdio: ['pipe', 'ignore', 'ignore'] }));
    }
  }
  let game = 0;
  const feed = setInterval(() => {
    game++;
    const document = JSON.stringify({ 'ball direction': 0, 'ball laps count': 12, 'ball speed': 900,
                                      'error flag': 0, 'game id': Math.floor(game / 75),
                                      phase: 1 + (game % 4), 'wheel direction': 1, 'wheel speed': 250,
                                      'win number': game % 37 });
    for (const p of publishers) p.stdin.write(document + '\n');
  }, 200);
  await sleep(2000);

  const browser = await chromium.launchPersistentContext(`${work}/chromium`, {
    executablePath: '/usr/bin/chromium',
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
           '--disable-background-networking', '--disable-component-update', '--disable-sync'] });
  const page = await browser.newPage();
  const t0 = Date.now();
  await page.goto('http://127.0.0.1:8080/');
  await page.fill('input[name=user]', 'kestrin-reader');
  await page.fill('input[name=password]', reader);
  await page.click('#login button');
  await page.waitForFunction(() => document.querySelectorAll('[data-state="publishing"]').length === 100,
                             null, { timeout: 60000 });
  const loadMs = Date.now() - t0;

  const browserPids = sh(`pgrep -f -- '--user-data-dir=${work}/chromium' || true`)
    .split('\n').filter(Boolean).map(Number);
  const cpu = () => ({ broker: cpuSeconds([broker.pid]), boxes: cpuSeconds(boxBrokers),
                       browser: cpuSeconds(browserPids), at: Date.now() });
  const before = cpu();
  await sleep(windowSeconds * 1000);
  const after = cpu();
  clearInterval(feed);
  const span = (after.at - before.at) / 1000;
  const share = (what) => `${(100 * (after[what] - before[what]) / span).toFixed(1)} % of a core`;
  const shown = await page.$$eval('[data-wheel]', (rows) => rows.length);
  await page.screenshot({ path: '/tmp/kestrin-site-bench.png' });
  await browser.close();
  console.log(`site: 10 boxes (a mosquitto each, its uplink over TLS), 100 wheels, 500 documents/s; ` +
              `the board shows ${shown} wheels`);
  console.log(`board: every wheel shown publishing ${loadMs} ms after the page was asked for ` +
              '(login included)');
  console.log(`site broker CPU over ${span.toFixed(0)} s: ${share('broker')}`);
  console.log(`the 10 box brokers together: ${share('boxes')}`);
  console.log(`chromium CPU (all its processes) over the same: ${share('browser')}`);
  console.log('screenshot: /tmp/kestrin-site-bench.png');
} finally {
  for (const c of children.reverse()) if (c.exitCode === null) c.kill('SIGKILL');
}
