"""Certificates for federation tests, made at test time with the openssl
command line, and the TLSA association data that pins them.

    import testca
    ca = testca.TestCA(directory)                      # a root CA
    b = ca.issue("b.test")                             # dNSName b.test, valid now
    old = ca.issue("b.test", expired=True)             # validity ended yesterday
    wrong = ca.issue("b.test", dns_names=["c.test"])   # names another domain
    inter = ca.intermediate("Test Intermediate")       # a CA issued by ca
    leaf = inter.issue("b.test")                       # chain: leaf, inter, root
    self = testca.self_signed(directory, "a.test")     # no CA at all

    b.cert   # PEM file of the certificate alone
    b.key    # PEM file of its private key (unencrypted)
    b.chain  # PEM file: the certificate, then each issuer up to the root
             # (what a server presents; give it to --cert)
    b.der    # DER bytes of the certificate
    b.spki   # DER bytes of its SubjectPublicKeyInfo

    testca.tlsa_data(b, selector=1, matching_type=1)   # SHA-256 of the key
    testca.tlsa_rdata_hex(3, 1, 1, b)                  # "030101" + hex data

Every leaf certificate carries the extended key usages serverAuth and
clientAuth (a federating server is both), basicConstraints CA:FALSE and a
subjectAltName dNSName for each domain (by default the common name). Keys are
EC P-256 unless key_type="rsa". Validity is given in days around the current
time; expired=True makes a certificate whose validity ended a day ago (it
began 30 days ago).

Only the Python standard library and the openssl program are used.
"""

import datetime
import hashlib
import os
import re
import subprocess

__all__ = ["Cert", "TestCA", "self_signed", "tlsa_data", "tlsa_rdata_hex"]


class Cert:
    """One certificate with its key: paths of PEM files and DER bytes."""

    def __init__(self, cert, key, chain):
        self.cert = cert
        self.key = key
        self.chain = chain
        self.der = _openssl("x509", "-in", cert, "-outform", "DER")
        pub = _openssl("x509", "-in", cert, "-noout", "-pubkey")
        self.spki = _openssl("pkey", "-pubin", "-outform", "DER", stdin=pub)

    def __repr__(self):
        return "Cert(%r)" % self.cert


def tlsa_data(cert, selector, matching_type):
    """Certificate association data of cert (a Cert or DER bytes of a
    certificate) for a TLSA selector (0 whole certificate, 1 public key) and
    matching type (0 the bytes, 1 SHA-256, 2 SHA-512)."""
    if isinstance(cert, Cert):
        selected = cert.der if selector == 0 else cert.spki
    else:
        if selector != 0:
            raise ValueError("selector 1 needs a Cert")
        selected = bytes(cert)
    if matching_type == 0:
        return selected
    if matching_type == 1:
        return hashlib.sha256(selected).digest()
    if matching_type == 2:
        return hashlib.sha512(selected).digest()
    raise ValueError("matching type %r" % matching_type)


def tlsa_rdata_hex(usage, selector, matching_type, data):
    """The record data of a TLSA record in hex (as dnsmasq's dns-rr takes it).
    data is the association data, or a Cert to compute it from."""
    if isinstance(data, Cert):
        data = tlsa_data(data, selector, matching_type)
    return bytes([usage, selector, matching_type]).hex() + bytes(data).hex()


class TestCA:
    """A certificate authority living in its own subdirectory of directory."""

    def __init__(self, directory, name="Fenra Test CA", key_type="ec", _parent=None):
        self.name = name
        self.dir = os.path.join(directory, "ca-" + _slug(name))
        os.makedirs(self.dir, exist_ok=False)
        self._parent = _parent
        self._count = 0
        key = os.path.join(self.dir, "ca.key")
        cert = os.path.join(self.dir, "ca.pem")
        _new_key(key, key_type)
        ext = "\n".join([
            "basicConstraints=critical,CA:TRUE",
            "keyUsage=critical,keyCertSign,cRLSign",
            "subjectKeyIdentifier=hash",
            "authorityKeyIdentifier=keyid:always",
        ])
        if _parent is None:
            _sign(self.dir, key, name, ext, cert, signer=None, days=(-1, 60))
            chain_parts = [cert]
        else:
            _sign(self.dir, key, name, ext, cert, signer=_parent, days=(-1, 60))
            chain_parts = [cert] + _chain_files(_parent)
        chain = os.path.join(self.dir, "ca.chain.pem")
        _concat(chain, chain_parts)
        self.ca = Cert(cert, key, chain)

    def intermediate(self, name, key_type="ec"):
        """A CA certified by this one."""
        return TestCA(os.path.dirname(self.dir), name, key_type, _parent=self)

    def issue(self, name, dns_names=None, *, ips=(), expired=False, days=30, key_type="ec"):
        """A leaf certificate for name (the common name), with a dNSName for
        each of dns_names (default [name]; [] for none) and an iPAddress for
        each of ips."""
        self._count += 1
        base = os.path.join(self.dir, "%d-%s" % (self._count, _slug(name)))
        key, cert, chain = base + ".key", base + ".pem", base + ".chain.pem"
        _new_key(key, key_type)
        span = (-30, -1) if expired else (-1, days)
        _sign(self.dir, key, name, _leaf_ext(name, dns_names, ips), cert, signer=self, days=span)
        _concat(chain, [cert] + _chain_files(self))
        return Cert(cert, key, chain)


def self_signed(directory, name, dns_names=None, *, expired=False, days=30, key_type="ec"):
    """A self-signed leaf certificate (same extensions as TestCA.issue)."""
    d = os.path.join(directory, "self-" + _slug(name))
    os.makedirs(d, exist_ok=True)
    n = len([f for f in os.listdir(d) if f.endswith(".key")]) + 1
    base = os.path.join(d, "%d" % n)
    key, cert = base + ".key", base + ".pem"
    _new_key(key, key_type)
    span = (-30, -1) if expired else (-1, days)
    _sign(d, key, name, _leaf_ext(name, dns_names), cert, signer=None, days=span)
    return Cert(cert, key, cert)


# ---------------------------------------------------------------------------


def _openssl(*args, stdin=None):
    p = subprocess.run(["openssl"] + list(args), input=stdin, stdout=subprocess.PIPE,
                       stderr=subprocess.PIPE)
    if p.returncode != 0:
        raise RuntimeError("openssl %s failed: %s" % (" ".join(args), p.stderr.decode(errors="replace")))
    return p.stdout


def _slug(s):
    return re.sub(r"[^A-Za-z0-9.-]", "_", s)[:60]


def _new_key(path, key_type):
    if key_type == "rsa":
        _openssl("genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048", "-out", path)
    else:
        _openssl("genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256", "-out", path)
    os.chmod(path, 0o600)


def _leaf_ext(name, dns_names, ips=()):
    names = ["DNS:" + n for n in ([name] if dns_names is None else dns_names)]
    names += ["IP:" + a for a in ips]
    lines = [
        "basicConstraints=CA:FALSE",
        "keyUsage=critical,digitalSignature,keyEncipherment",
        "extendedKeyUsage=serverAuth,clientAuth",
        "subjectKeyIdentifier=hash",
        "authorityKeyIdentifier=keyid",
    ]
    if names:
        lines.append("subjectAltName=" + ",".join(names))
    return "\n".join(lines)


def _chain_files(ca):
    """The certificate files of ca and its issuers, nearest first."""
    out = []
    while ca is not None:
        out.append(ca.ca.cert)
        ca = ca._parent
    return out


def _concat(path, parts):
    with open(path, "wb") as out:
        for p in parts:
            with open(p, "rb") as f:
                out.write(f.read())


def _stamp(days):
    t = datetime.datetime.now(datetime.timezone.utc) + datetime.timedelta(days=days)
    return t.strftime("%Y%m%d%H%M%SZ")


_CA_CONFIG = """\
[ca]
default_ca = fenra_test_ca

[fenra_test_ca]
database = {dir}/index.txt
new_certs_dir = {dir}
serial = {dir}/serial
default_md = sha256
policy = fenra_test_policy
unique_subject = no
copy_extensions = none
email_in_dn = no

[fenra_test_policy]
commonName = supplied
"""


def _sign(workdir, key, common_name, ext_text, out, signer, days):
    """Makes out, a certificate for key with subject CN=common_name and the
    extensions of ext_text, valid from days[0] to days[1] relative to now,
    signed by signer (a TestCA) or by key itself. openssl ca is used because
    it takes explicit validity dates (an expired certificate among them)."""
    sign_dir = signer.dir if signer is not None else workdir
    index = os.path.join(sign_dir, "index.txt")
    if not os.path.exists(index):
        open(index, "w").close()
        with open(os.path.join(sign_dir, "serial"), "w") as f:
            f.write("%x\n" % (int.from_bytes(os.urandom(8), "big") | 1 << 63))
    config = os.path.join(sign_dir, "ca.cnf")
    if not os.path.exists(config):
        with open(config, "w") as f:
            f.write(_CA_CONFIG.format(dir=sign_dir))
    ext = out + ".ext"
    with open(ext, "w") as f:
        f.write("[v3]\n" + ext_text + "\n")
    csr = out + ".csr"
    _openssl("req", "-new", "-key", key, "-subj", "/CN=" + common_name, "-out", csr)
    args = ["ca", "-batch", "-notext", "-config", config, "-in", csr, "-out", out,
            "-startdate", _stamp(days[0]), "-enddate", _stamp(days[1]),
            "-extfile", ext, "-extensions", "v3"]
    if signer is None:
        args += ["-selfsign", "-keyfile", key]
    else:
        args += ["-cert", signer.ca.cert, "-keyfile", signer.ca.key]
    _openssl(*args)
