"""The test identity provider and test certificates, for Python tests (run
this file to start the provider by hand: it prints its URLs and credentials).

    sys.path.insert(0, os.path.join(os.environ["FENRA_SOURCE"], "tests", "idp"))
    import idp

    with idp.TestIdp(users=[{"username": "alice", "password": "pw", "email": "alice@example.org"}]) as p:
        p.issuer, p.token_endpoint, p.jwks_uri, p.introspection_endpoint
        p.ca_file, p.client_id, p.client_secret, p.users
        status, doc = p.password_grant("alice", "pw", resource="urn:fenra:eddsa")
        p.rotate()

The provider runs from server.mjs on Node.js 20 or newer (its npm packages are
installed by tools/install-deps.sh). Certificates come from a CA made at test
time by tests/lib/testca.py.
Standard library only.
"""

import json
import os
import shutil
import ssl
import subprocess
import sys
import tempfile
import threading
import time
import urllib.error
import urllib.parse
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "lib"))
import testca  # noqa: E402

DEFAULT_USERS = [
    {
        "username": "alice",
        "password": "alice-pw & = + x",
        "email": "alice@example.org",
        "picture": "https://example.org/alice.png",
    },
    {"username": "bob", "password": "bob-pw", "email": "bob@example.org"},
]
DEFAULT_CLIENT = {"client_id": "fenra-xmpp", "client_secret": "s3cret&=+ value"}


def node_version():
    """The major version of the node on PATH, or 0 when there is none."""
    try:
        out = subprocess.run(["node", "--version"], capture_output=True, text=True).stdout
        return int(out.strip().lstrip("v").split(".")[0])
    except (OSError, ValueError):
        return 0


class TestIdp:
    """The provider on 127.0.0.1 over HTTPS, for the life of a with block."""

    def __init__(self, users=None, clients=None, host="localhost", access_token_ttl=600,
                 start_timeout=60.0, token_delay_ms=0):
        self.users = users if users is not None else DEFAULT_USERS
        self.clients = clients if clients is not None else [DEFAULT_CLIENT]
        self.client_id = self.clients[0]["client_id"]
        self.client_secret = self.clients[0]["client_secret"]
        self.host = host
        self.access_token_ttl = access_token_ttl
        self.token_delay_ms = token_delay_ms
        self.start_timeout = start_timeout
        self.dir = None
        self.proc = None
        self._reader = None

    # -- life cycle

    def __enter__(self):
        if node_version() < 20:
            raise RuntimeError("the test identity provider needs Node.js 20 or newer")
        if not os.path.isdir(os.path.join(HERE, "node_modules", "oidc-provider")):
            raise RuntimeError("tests/idp/node_modules is missing: run tools/install-deps.sh")
        self.dir = tempfile.mkdtemp(prefix="fenra-idp-")
        try:
            self._start()
        except BaseException:
            self.__exit__(None, None, None)
            raise
        return self

    def __exit__(self, *exc):
        if self.proc is not None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
            if self._reader is not None:
                self._reader.join(timeout=10)
            self.proc.stdout.close()
            self.proc = None
        if self.dir is not None:
            shutil.rmtree(self.dir, ignore_errors=True)
            self.dir = None
        return False

    def _start(self):
        ca = testca.TestCA(self.dir)
        self.ca_file = ca.ca.cert
        idp = ca.issue("localhost", ips=["127.0.0.1"])
        settings = {
            "host": self.host,
            "listen": "127.0.0.1",
            "cert": idp.chain,
            "key": idp.key,
            "clients": self.clients,
            "users": self.users,
            "access_token_ttl": self.access_token_ttl,
            "token_delay_ms": self.token_delay_ms,
        }
        settings_path = os.path.join(self.dir, "settings.json")
        with open(settings_path, "w") as f:
            json.dump(settings, f)
        self.log_path = os.path.join(self.dir, "idp.log")
        log = open(self.log_path, "wb")
        self.proc = subprocess.Popen(
            ["node", os.path.join(HERE, "server.mjs"), settings_path],
            cwd=HERE, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=log,
        )
        log.close()
        ready = self._wait_ready()
        self.issuer = ready["issuer"]
        self.port = ready["port"]
        self.token_endpoint = ready["token_endpoint"]
        self.introspection_endpoint = ready["introspection_endpoint"]
        self.jwks_uri = ready["jwks_uri"]
        self.initial_keys = ready["keys"]
        self._ssl = ssl.create_default_context(cafile=self.ca_file)
        # The provider answers once its discovery document is served.
        deadline = time.monotonic() + self.start_timeout
        while True:
            try:
                status, _ = self.request("GET", "/.well-known/openid-configuration")
                if status == 200:
                    return
            except OSError:
                pass
            if time.monotonic() > deadline:
                raise RuntimeError("test identity provider did not answer: " + self.log())
            time.sleep(0.1)

    def _wait_ready(self):
        box = {}

        def read():
            for line in self.proc.stdout:
                if line.startswith(b"READY ") and "ready" not in box:
                    box["ready"] = json.loads(line[6:])
            # keep draining until the process ends

        self._reader = threading.Thread(target=read, daemon=True)
        self._reader.start()
        deadline = time.monotonic() + self.start_timeout
        while "ready" not in box:
            if self.proc.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError("test identity provider did not start: " + self.log())
            time.sleep(0.05)
        return box["ready"]

    def log(self):
        """What the provider wrote to standard error so far."""
        try:
            with open(self.log_path, "rb") as f:
                return f.read().decode("utf-8", "replace")
        except OSError:
            return ""

    # -- requests

    def url(self, path):
        return self.issuer + path

    def request(self, method, path, body=None, content_type=None):
        """One request to the provider: returns (status, body bytes)."""
        data = body if isinstance(body, (bytes, type(None))) else body.encode()
        req = urllib.request.Request(self.url(path), data=data, method=method)
        if content_type:
            req.add_header("Content-Type", content_type)
        try:
            with urllib.request.urlopen(req, context=self._ssl, timeout=30) as r:
                return r.status, r.read()
        except urllib.error.HTTPError as e:
            return e.code, e.read()

    def _form(self, path, fields):
        status, body = self.request("POST", path, urllib.parse.urlencode(fields),
                                    "application/x-www-form-urlencoded")
        return status, json.loads(body) if body else {}

    def _json(self, method, path, value=None):
        body = None if value is None else json.dumps(value)
        status, out = self.request(method, path, body, "application/json")
        if status != 200:
            raise RuntimeError(f"{path}: {status} {out!r}")
        return json.loads(out)

    def password_grant(self, username, password, resource=None, scope="openid email profile",
                       client_id=None, client_secret=None):
        """A password grant: (status, answer document). With resource
        "urn:fenra:rs256" or "urn:fenra:eddsa" (optionally ":AUDIENCE" after it)
        the access token is a JWT signed with that kind of key; without one it
        is opaque (introspection only)."""
        fields = {
            "grant_type": "password",
            "client_id": client_id or self.client_id,
            "client_secret": client_secret or self.client_secret,
            "username": username,
            "password": password,
            "scope": scope,
        }
        if resource:
            fields["resource"] = resource
        return self._form("/token", fields)

    def access_token(self, username, resource=None):
        """An access token for a known user (opaque without resource)."""
        user = next(u for u in self.users if u["username"] == username)
        status, doc = self.password_grant(username, user["password"], resource=resource)
        if status != 200:
            raise RuntimeError(f"password grant failed: {status} {doc}")
        return doc["access_token"]

    def introspect(self, token):
        """The provider's introspection answer for a token: (status, document)."""
        return self._form("/token/introspection", {
            "token": token, "client_id": self.client_id, "client_secret": self.client_secret,
        })

    def jwks(self):
        status, body = self.request("GET", "/jwks")
        return json.loads(body)

    def keys(self):
        """The current key ids: {"rs256": kid, "eddsa": kid, "all": [kids in the JWKS]}."""
        return self._json("GET", "/fenra-test/keys")

    def rotate(self, keep_old=False):
        """New signing keys (the provider is rebuilt; issued opaque tokens stay
        valid). Returns the new key ids as keys() does."""
        return self._json("POST", "/fenra-test/rotate", {"keep_old": keep_old})

    def sign(self, alg, payload, header=None, foreign=False):
        """A JWT over payload signed with the provider's current RS256 or EdDSA
        key (foreign: a key not in the JWKS, under the same kid). Header
        members replace the defaults alg, typ and kid; None removes one."""
        return self._json("POST", "/fenra-test/sign", {
            "alg": alg, "payload": payload, "header": header or {}, "foreign": foreign,
        })["token"]

    def claims(self, username, lifetime=600, **extra):
        """A payload that the daemon accepts for a user: iss, aud, sub, iat,
        exp, preferred_username and email, then extra (None removes a claim)."""
        user = next(u for u in self.users if u["username"] == username)
        now = int(time.time())
        payload = {
            "iss": self.issuer, "aud": self.client_id, "sub": username,
            "iat": now, "exp": now + lifetime, "preferred_username": username,
        }
        if "email" in user:
            payload["email"] = user["email"]
        payload.update(extra)
        return {k: v for k, v in payload.items() if v is not None}

    def status_url(self, status):
        """A URL that answers the given status and records each request."""
        return self.url(f"/fenra-test/status/{status}")

    def canned_url(self):
        """A URL that answers what set_canned last set (at first an inactive
        introspection answer)."""
        return self.url("/fenra-test/canned")

    def set_canned(self, body, status=200):
        """The answer of canned_url from now on: status and a JSON body."""
        self._json("POST", "/fenra-test/canned/set", {"status": status, "body": body})

    def set_token_delay(self, ms):
        """The token endpoint answers ms milliseconds late from now on."""
        self._json("POST", "/fenra-test/delay", {"token_ms": ms})

    def hang_url(self):
        """A URL that accepts the request and never answers."""
        return self.url("/fenra-test/hang")

    def captured(self):
        """Requests made to status_url so far: method, url, raw header list, body."""
        return self._json("GET", "/fenra-test/captured")


if __name__ == "__main__":
    # Runs the provider by hand until interrupted, printing what a client needs.
    with TestIdp() as running:
        print(json.dumps({
            "issuer": running.issuer,
            "token_endpoint": running.token_endpoint,
            "introspection_endpoint": running.introspection_endpoint,
            "jwks_uri": running.jwks_uri,
            "ca_file": running.ca_file,
            "client_id": running.client_id,
            "client_secret": running.client_secret,
            "users": running.users,
        }, indent=2), flush=True)
        try:
            running.proc.wait()
        except KeyboardInterrupt:
            pass
