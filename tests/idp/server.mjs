// An OpenID Connect provider for the integration tests, built on the
// oidc-provider package and served over HTTPS on loopback.
//
//     node server.mjs SETTINGS.json
//
// SETTINGS.json:
//   { "host": "localhost",            name in the issuer URL (the certificate must carry it)
//     "listen": "127.0.0.1",          address to listen on (port 0: any free port)
//     "cert": "server.crt", "key": "server.key",
//     "clients": [{ "client_id": "...", "client_secret": "..." }],
//     "users": [{ "username": "...", "password": "...", "email": "...", "picture": "..." }],
//     "access_token_ttl": 600,
//     "token_delay_ms": 0 }              answers of the token endpoint and of
//                                        /fenra-test/status/NNN come this late
//
// Once listening it prints one line "READY {json}" with the issuer and
// endpoint URLs. It serves, besides the provider's own endpoints:
//   - the resource owner password grant for the configured users and clients
//     (wrong password: 400 invalid_grant; wrong client secret: 401);
//   - token introspection, whose answers carry "username";
//   - a JWKS with one RSA (RS256) and one Ed25519 (EdDSA) key;
//   - JWT access tokens when the grant names a resource indicator:
//     "urn:fenra:rs256" or "urn:fenra:eddsa", optionally followed by
//     ":AUDIENCE" (the default audience is the client id);
// and a few test hooks under /fenra-test/:
//   POST /fenra-test/rotate       new keys, provider rebuilt on the same token
//                                 store ({"keep_old": true} keeps the old keys
//                                 in the JWKS too); answers the new key ids
//   GET  /fenra-test/keys         the current key ids
//   POST /fenra-test/sign         {"alg": "RS256"|"EdDSA", "payload": {...},
//                                  "header": {...}, "foreign": false}: a JWT signed
//                                 with the provider's current key of that type
//                                 (or, with "foreign", a fresh key under the same
//                                 kid); header members replace the defaults, null
//                                 removes one
//   ANY  /fenra-test/status/NNN   answers status NNN with a small JSON body and
//                                 remembers the request (GET /fenra-test/captured)
//   ANY  /fenra-test/hang         never answers
//   POST /fenra-test/delay        {"token_ms": N}: the token endpoint and the
//                                 status hook answer N ms late
//   POST /fenra-test/canned/set   {"status": 200, "body": {...}}: what
//                                 /fenra-test/canned answers from now on
//   ANY  /fenra-test/canned       that answer (an introspection endpoint whose
//                                 answers a test writes)
import { readFileSync } from 'node:fs';
import https from 'node:https';
import crypto from 'node:crypto';
import Provider, { errors } from 'oidc-provider';

const settings = JSON.parse(readFileSync(process.argv[2], 'utf8'));
const hostName = settings.host ?? 'localhost';
const listenAddr = settings.listen ?? '127.0.0.1';
const accessTokenTtl = settings.access_token_ttl ?? 600;
const users = new Map(settings.users.map((u, i) => [u.username, { sub: u.sub ?? `user-${i + 1}`, ...u }]));
const usersBySub = new Map([...users.values()].map((u) => [u.sub, u]));

// Tokens and grants live here, outside any one provider instance, so that
// tokens issued before a key rotation stay valid after it.
const store = new Map();
const grantMembers = new Map();

class SharedAdapter {
  constructor(model) {
    this.model = model;
  }

  key(id) {
    return `${this.model}:${id}`;
  }

  async upsert(id, payload, expiresIn) {
    const expiresAt = expiresIn ? Date.now() + expiresIn * 1000 : Infinity;
    store.set(this.key(id), { payload, expiresAt });
    if (payload.grantId) {
      if (!grantMembers.has(payload.grantId)) grantMembers.set(payload.grantId, new Set());
      grantMembers.get(payload.grantId).add(this.key(id));
    }
  }

  async find(id) {
    const entry = store.get(this.key(id));
    if (!entry) return undefined;
    if (entry.expiresAt <= Date.now()) {
      store.delete(this.key(id));
      return undefined;
    }
    return entry.payload;
  }

  async findByUid(uid) {
    for (const [key, entry] of store) {
      if (key.startsWith(`${this.model}:`) && entry.payload.uid === uid) return entry.payload;
    }
    return undefined;
  }

  async findByUserCode(userCode) {
    for (const [key, entry] of store) {
      if (key.startsWith(`${this.model}:`) && entry.payload.userCode === userCode) return entry.payload;
    }
    return undefined;
  }

  async consume(id) {
    const entry = store.get(this.key(id));
    if (entry) entry.payload.consumed = Math.floor(Date.now() / 1000);
  }

  async destroy(id) {
    store.delete(this.key(id));
  }

  async revokeByGrantId(grantId) {
    for (const key of grantMembers.get(grantId) ?? []) store.delete(key);
    grantMembers.delete(grantId);
  }
}

// Signing keys: one RSA and one Ed25519 key per generation.
let generation = 0;
let keys = [];

function newKeys() {
  generation += 1;
  const rsa = crypto.generateKeyPairSync('rsa', { modulusLength: 2048 });
  const ed = crypto.generateKeyPairSync('ed25519');
  return [
    { jwk: { ...rsa.privateKey.export({ format: 'jwk' }), kid: `rsa-${generation}`, alg: 'RS256', use: 'sig' }, key: rsa.privateKey },
    { jwk: { ...ed.privateKey.export({ format: 'jwk' }), kid: `ed-${generation}`, alg: 'EdDSA', use: 'sig' }, key: ed.privateKey },
  ];
}

function currentKey(alg) {
  return keys.find((k) => k.jwk.alg === alg);
}

function keyIds() {
  return { rs256: currentKey('RS256').jwk.kid, eddsa: currentKey('EdDSA').jwk.kid, all: keys.map((k) => k.jwk.kid) };
}

function resourceServerInfo(resource, client) {
  const m = /^urn:fenra:(rs256|eddsa)(?::(.+))?$/.exec(resource);
  if (!m) throw new errors.InvalidTarget('unknown resource indicator');
  return {
    scope: 'openid email profile',
    audience: m[2] ?? client.clientId,
    accessTokenTTL: accessTokenTtl,
    accessTokenFormat: 'jwt',
    jwt: { sign: { alg: m[1] === 'rs256' ? 'RS256' : 'EdDSA' } },
  };
}

function accountClaims(user) {
  const claims = { sub: user.sub, preferred_username: user.username, name: user.username };
  if (user.email) claims.email = user.email;
  if (user.picture) claims.picture = user.picture;
  return claims;
}

// The resource owner password credentials grant, which the package no longer
// carries: the handler checks the user and builds the grant and tokens itself.
async function passwordGrant(ctx) {
  const provider = ctx.oidc.provider;
  const { client } = ctx.oidc;
  const { username, password, scope, resource } = ctx.oidc.params;
  if (username === undefined || password === undefined) {
    throw new errors.InvalidRequest('username and password are required');
  }
  const user = users.get(username);
  if (!user || user.password !== password) {
    throw new errors.InvalidGrant('invalid resource owner credentials');
  }
  const scopes = (scope ?? 'openid').split(' ').filter((s) => ['openid', 'email', 'profile'].includes(s));
  const scopeText = scopes.join(' ');

  const grant = new provider.Grant({ accountId: user.sub, clientId: client.clientId });
  grant.addOIDCScope(scopeText);
  if (resource) grant.addResourceScope(resource, scopeText);
  const grantId = await grant.save();

  const at = new provider.AccessToken({ accountId: user.sub, client, grantId, gty: 'password', scope: scopeText });
  if (resource) {
    at.resourceServer = new provider.ResourceServer(resource, resourceServerInfo(resource, client));
  }
  ctx.oidc.entity('AccessToken', at);
  const accessToken = await at.save();

  let idToken;
  if (scopes.includes('openid')) {
    const token = new provider.IdToken(accountClaims(user), { ctx });
    token.scope = scopeText;
    idToken = await token.issue({ use: 'idtoken' });
  }

  ctx.body = {
    access_token: accessToken,
    token_type: at.tokenType,
    expires_in: at.expiration,
    id_token: idToken,
    scope: scopeText,
  };
}

function buildProvider(issuer) {
  const provider = new Provider(issuer, {
    adapter: SharedAdapter,
    clients: settings.clients.map((c) => ({
      client_id: c.client_id,
      client_secret: c.client_secret,
      grant_types: ['password'],
      response_types: [],
      redirect_uris: [],
      token_endpoint_auth_method: 'client_secret_post',
    })),
    jwks: { keys: keys.map((k) => k.jwk) },
    findAccount: async (ctx, sub) => {
      const user = usersBySub.get(sub);
      if (!user) return undefined;
      return { accountId: sub, claims: async () => accountClaims(user) };
    },
    claims: {
      openid: ['sub'],
      email: ['email'],
      profile: ['preferred_username', 'name', 'picture'],
    },
    extraTokenClaims: async (ctx, token) => {
      const user = usersBySub.get(token.accountId);
      if (!user) return undefined;
      const { sub, ...claims } = accountClaims(user);
      return { username: user.username, ...claims };
    },
    features: {
      devInteractions: { enabled: false },
      introspection: { enabled: true, allowedPolicy: async () => true },
      resourceIndicators: {
        enabled: true,
        defaultResource: async () => undefined,
        useGrantedResource: async () => true,
        getResourceServerInfo: async (ctx, resource, client) => resourceServerInfo(resource, client),
      },
    },
    ttl: { AccessToken: accessTokenTtl, Grant: 3600, IdToken: 600 },
    cookies: { keys: [crypto.randomBytes(16).toString('hex')] },
  });
  provider.registerGrantType('password', passwordGrant, ['username', 'password', 'scope', 'resource']);
  return provider;
}

function b64url(data) {
  return Buffer.from(data).toString('base64url');
}

function signJwt({ alg, payload, header = {}, foreign = false }) {
  const k = currentKey(alg);
  if (!k) throw new Error(`no key for ${alg}`);
  const h = { alg, typ: 'JWT', kid: k.jwk.kid, ...header };
  for (const name of Object.keys(h)) if (h[name] === null) delete h[name];
  let key = k.key;
  if (foreign) {
    key = alg === 'RS256'
      ? crypto.generateKeyPairSync('rsa', { modulusLength: 2048 }).privateKey
      : crypto.generateKeyPairSync('ed25519').privateKey;
  }
  const input = `${b64url(JSON.stringify(h))}.${b64url(JSON.stringify(payload))}`;
  const sig = crypto.sign(alg === 'RS256' ? 'sha256' : null, Buffer.from(input), key);
  return `${input}.${b64url(sig)}`;
}

function readBody(req) {
  return new Promise((resolve, reject) => {
    const chunks = [];
    req.on('data', (c) => chunks.push(c));
    req.on('end', () => resolve(Buffer.concat(chunks)));
    req.on('error', reject);
  });
}

function sendJson(res, status, value) {
  const body = JSON.stringify(value);
  res.writeHead(status, { 'Content-Type': 'application/json', 'Content-Length': Buffer.byteLength(body) });
  res.end(body);
}

const captured = [];
let canned = { status: 200, body: { active: false } };
let tokenDelay = settings.token_delay_ms ?? 0;
let issuer;
let provider;
let callback;

function rebuild() {
  provider = buildProvider(issuer);
  callback = provider.callback();
}

async function testHook(req, res, path) {
  if (path === '/fenra-test/hang') {
    return; // the socket stays open, unanswered
  }
  const status = /^\/fenra-test\/status\/(\d{3})$/.exec(path);
  if (status) {
    const body = await readBody(req);
    captured.push({ method: req.method, url: req.url, headers: req.rawHeaders, body: body.toString('latin1') });
    sendJson(res, Number(status[1]), { note: 'test status' });
    return;
  }
  if (path === '/fenra-test/delay' && req.method === 'POST') {
    tokenDelay = JSON.parse(await readBody(req)).token_ms;
    sendJson(res, 200, {});
    return;
  }
  if (path === '/fenra-test/canned/set' && req.method === 'POST') {
    canned = JSON.parse(await readBody(req));
    sendJson(res, 200, {});
    return;
  }
  if (path === '/fenra-test/canned') {
    await readBody(req);
    sendJson(res, canned.status, canned.body);
    return;
  }
  if (path === '/fenra-test/captured') {
    sendJson(res, 200, captured);
    return;
  }
  if (path === '/fenra-test/keys') {
    sendJson(res, 200, keyIds());
    return;
  }
  if (path === '/fenra-test/rotate' && req.method === 'POST') {
    const body = await readBody(req);
    const opts = body.length ? JSON.parse(body) : {};
    const old = keys;
    keys = newKeys();
    if (opts.keep_old) keys = [...keys, ...old];
    rebuild();
    sendJson(res, 200, keyIds());
    return;
  }
  if (path === '/fenra-test/sign' && req.method === 'POST') {
    const opts = JSON.parse(await readBody(req));
    sendJson(res, 200, { token: signJwt(opts) });
    return;
  }
  sendJson(res, 404, { error: 'unknown test hook' });
}

const server = https.createServer(
  { cert: readFileSync(settings.cert), key: readFileSync(settings.key) },
  (req, res) => {
    const path = req.url.split('?')[0];
    const late = path === '/token' || path.startsWith('/fenra-test/status/');
    if (late && tokenDelay > 0) {
      setTimeout(() => serve(req, res, path), tokenDelay);
      return;
    }
    serve(req, res, path);
  },
);

function serve(req, res, path) {
  if (path.startsWith('/fenra-test/')) {
    testHook(req, res, path).catch((e) => sendJson(res, 500, { error: String(e) }));
    return;
  }
  callback(req, res);
}

server.listen(settings.port ?? 0, listenAddr, () => {
  const { port } = server.address();
  issuer = `https://${hostName}:${port}`;
  keys = newKeys();
  rebuild();
  const ready = {
    issuer,
    port,
    token_endpoint: `${issuer}/token`,
    introspection_endpoint: `${issuer}/token/introspection`,
    jwks_uri: `${issuer}/jwks`,
    keys: keyIds(),
  };
  process.stdout.write(`READY ${JSON.stringify(ready)}\n`);
});

for (const sig of ['SIGTERM', 'SIGINT']) {
  process.on(sig, () => {
    server.closeAllConnections();
    server.close(() => process.exit(0));
  });
}
