// A real browser against the running service: headless Chromium loads a small page from a local
// HTTP server; the page posts an echo with fetch to https://127.0.0.1:<port> and reads the reply,
// so CORS and the reply headers are met as a browser meets them.
//
//   node browser.mjs        (environment: QM_SPKI, QM_PORT, QM_ECHO_BODY, QM_PROFILE_DIR)
//
// QM_SPKI is the base64 SHA-256 of the server certificate's public key (the browser trusts that
// key and nothing else), QM_ECHO_BODY the form body of an echo that opens a session.
//
// Two pages: one on a loopback origin, and one that the browser is told to count as a public
// site, so that its request crosses from the public to the local address space. This Chromium
// decides such requests by its local-network permission and sends no private-network preflight
// (that preflight is checked with curl); the permission check is switched off so that the
// request reaches the service.
//
// Prints one "ok <name>" or "not ok <name>: <detail>" line per check; exits 1 when any failed.
import http from 'node:http';
import { chromium } from 'playwright-core';

const port = Number(process.env.QM_PORT || 56362);
const echoBody = process.env.QM_ECHO_BODY;
const spki = process.env.QM_SPKI;
const profileDir = process.env.QM_PROFILE_DIR;
const serviceUrl = `https://127.0.0.1:${port}/`;

let failures = 0;
function report(name, ok, detail = '') {
    if (ok) {
        console.log(`ok ${name}`);
    } else {
        failures++;
        console.log(`not ok ${name}: ${detail}`);
    }
}

// The page: posts the form field the service reads and decodes the base64 values of the reply.
const page = `<!doctype html><meta charset="utf-8"><title>echo</title>
<script>
async function echo(body) {
  const reply = await fetch('${serviceUrl}', {
    method: 'POST',
    headers: {'Content-Type': 'application/x-www-form-urlencoded'},
    body,
  });
  const json = await reply.json();
  const values = {};
  for (const [key, value] of Object.entries(json)) values[key] = atob(value);
  return {status: reply.status, values};
}
</script>`;

async function pageServer() {
    const server = http.createServer((request, response) => {
        response.writeHead(200, {'Content-Type': 'text/html'});
        response.end(page);
    });
    await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
    return server;
}

function withSession(body, sessionId) {
    const json = JSON.parse(
        Buffer.from(decodeURIComponent(body.replace(/^Parameter=/, '')), 'base64').toString());
    json.SessionId = sessionId;
    return 'Parameter=' + encodeURIComponent(Buffer.from(JSON.stringify(json)).toString('base64'));
}

function lowerKeys(headers) {
    return Object.fromEntries(
        Object.entries(headers).map(([key, value]) => [key.toLowerCase(), value]));
}

const localServer = await pageServer();
const publicServer = await pageServer();
const localOrigin = `http://127.0.0.1:${localServer.address().port}`;
const publicOrigin = `http://127.0.0.1:${publicServer.address().port}`;

const context = await chromium.launchPersistentContext(profileDir, {
    executablePath: '/usr/bin/chromium',
    headless: true,
    args: [
        '--headless', '--no-sandbox', '--disable-gpu', '--no-first-run',
        '--disable-background-networking', '--disable-component-update', '--disable-sync',
        `--ignore-certificate-errors-spki-list=${spki}`,
        `--ip-address-space-overrides=127.0.0.1:${publicServer.address().port}=public`,
        '--disable-features=LocalNetworkAccessChecks',
    ],
});
try {
    const tab = await context.newPage();
    const cdp = await context.newCDPSession(tab);
    await cdp.send('Network.enable');
    const replies = [];
    cdp.on('Network.responseReceived', (event) => {
        if (event.response.url === serviceUrl) {
            replies.push({type: event.type, status: event.response.status,
                          headers: lowerKeys(event.response.headers)});
        }
    });

    await tab.goto(`${localOrigin}/`);
    const first = await tab.evaluate((body) => echo(body), echoBody);
    report('echo answered 200', first.status === 200, JSON.stringify(first));
    report('echo result 0', first.values.result === '0', JSON.stringify(first.values));
    report('new session id', /^[0-9A-Z]{8}_SID$/.test(first.values.SessionID || ''),
           JSON.stringify(first.values));
    report('server version', first.values.ServerVersion === '1.0.22.0303',
           JSON.stringify(first.values));

    const second = await tab.evaluate((body) => echo(body),
                                      withSession(echoBody, first.values.SessionID));
    report('known session echo', second.values.result === '0' && !second.values.SessionID &&
                                     second.values.ServerVersion === '1.0.22.0303',
           JSON.stringify(second.values));

    const post = replies.find((reply) => reply.status === 200);
    report('reply headers as the browser got them',
           post !== undefined && post.headers['access-control-allow-origin'] === localOrigin &&
               post.headers['x-xss-protection'] === '1; mode=block' &&
               post.headers['keep-alive'] === 'timeout=15, max=100',
           JSON.stringify(replies));

    await tab.goto(`${publicOrigin}/`);
    const fromPublic = await tab.evaluate((body) => echo(body),
                                          withSession(echoBody, first.values.SessionID));
    report('echo from a public page', fromPublic.values.result === '0',
           JSON.stringify(fromPublic));
    const publicReply = replies.filter((reply) => reply.status === 200).pop();
    report('public page origin allowed',
           publicReply?.headers['access-control-allow-origin'] === publicOrigin,
           JSON.stringify(replies));
    const preflights = replies.filter((reply) => reply.status === 204);
    console.log(`# preflights seen by the browser: ${preflights.length}`);
    for (const preflight of preflights) {
        report('browser preflight headers',
               preflight.headers['access-control-allow-methods'] === 'POST' &&
                   preflight.headers['access-control-allow-private-network'] === 'true',
               JSON.stringify(preflight));
    }
} catch (error) {
    report('browser run', false, String((error && error.stack) || error));
} finally {
    await context.close();
    localServer.close();
    publicServer.close();
}
process.exit(failures === 0 ? 0 : 1);
