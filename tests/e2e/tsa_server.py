"""An RFC 3161 timestamp authority for the tests: OpenSSL's own `openssl ts -reply` behind a
small HTTP handler on 127.0.0.1 (an ephemeral port), with a throw-away root and TSA certificates
made for the run. `mode` makes it misbehave in the ways a real authority can:

  ok             a granted response from the authority under `root`
  other          a granted response from a second authority under its own root (`other_root`)
  other_imprint  a granted response for another message imprint
  other_nonce    a granted response for the same imprint with another nonce
  no_usage       a token over the request's TSTInfo signed by a certificate without the
                 timeStamping extended key usage
  reject         status rejection, no token
  garbage        bytes that are no DER
  slow           the ok answer, after `delay` seconds
  huge           100 MB of zeros
"""

import http.server
import os
import pathlib
import secrets
import subprocess
import threading
import time

SHA256_OID = bytes.fromhex("0609608648016503040201")

TSA_CONFIG = """\
[ tsa ]
default_tsa = main

[ main ]
dir = {dir}
serial = $dir/{name}.serial
crypto_device = builtin
signer_cert = $dir/{name}.pem
certs = $dir/{name}-root.pem
signer_key = $dir/{name}.key
signer_digest = sha256
default_policy = 1.3.6.1.4.1.57264.2
digests = sha256, sha384, sha512
accuracy = secs:1
ordering = yes
tsa_name = yes
ess_cert_id_chain = no
ess_cert_id_alg = sha256
"""

TSA_EXTENSIONS = """\
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = critical, timeStamping
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
"""
PLAIN_EXTENSIONS = """\
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
"""


def openssl(*args, cwd):
    subprocess.run(["openssl", *map(str, args)], cwd=cwd, check=True, capture_output=True)


def der_length(size):
    if size < 0x80:
        return bytes([size])
    body = size.to_bytes((size.bit_length() + 7) // 8, "big")
    return bytes([0x80 | len(body)]) + body


def der_sequence(*parts):
    body = b"".join(parts)
    return b"\x30" + der_length(len(body)) + body


def granted(token):
    """A TimeStampResp with status granted around the DER token."""
    return der_sequence(der_sequence(b"\x02\x01\x00"), token)


def imprint_of(query):
    """The SHA-256 message imprint of a DER TimeStampReq, as hex."""
    at = query.index(SHA256_OID) + len(SHA256_OID) + 2  # the algorithm's NULL parameters
    assert query[at:at + 2] == b"\x04\x20", "not a SHA-256 imprint"
    return query[at + 2:at + 34].hex()


class Authority:
    """The throw-away roots and signers, and the `openssl ts` calls that answer a query."""

    def __init__(self, directory):
        self.dir = pathlib.Path(directory)
        self.dir.mkdir(parents=True, exist_ok=True)
        for name in ("tsa", "other"):
            self._make_signer(name, TSA_EXTENSIONS)
        self._make_signer("plain", PLAIN_EXTENSIONS)
        self.root = self.dir / "tsa-root.pem"
        self.other_root = self.dir / "other-root.pem"
        self.certificate = self.dir / "tsa.pem"
        self.lock = threading.Lock()

    def _make_signer(self, name, extensions):
        d = self.dir
        (d / f"{name}.ext").write_text(extensions)
        openssl("ecparam", "-name", "prime256v1", "-genkey", "-noout", "-out", f"{name}-root.key", cwd=d)
        openssl("req", "-new", "-x509", "-key", f"{name}-root.key", "-subj",
                f"/O=certwright tests/CN={name} test root", "-days", "2", "-sha256",
                "-config", "/dev/null", "-addext",
                "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign,cRLSign",
                "-out", f"{name}-root.pem", cwd=d)
        openssl("ecparam", "-name", "prime256v1", "-genkey", "-noout", "-out", f"{name}.key", cwd=d)
        openssl("req", "-new", "-key", f"{name}.key", "-subj",
                f"/O=certwright tests/CN={name} timestamp authority", "-config", "/dev/null",
                "-out", f"{name}.csr", cwd=d)
        openssl("x509", "-req", "-in", f"{name}.csr", "-CA", f"{name}-root.pem", "-CAkey",
                f"{name}-root.key", "-CAcreateserial", "-days", "1", "-sha256", "-extfile",
                f"{name}.ext", "-out", f"{name}.pem", cwd=d)
        (d / f"{name}.cnf").write_text(TSA_CONFIG.format(dir=d, name=name))

    def reply(self, query, name="tsa"):
        """The DER TimeStampResp of `name`'s authority to the DER TimeStampReq `query`."""
        with self.lock:
            stem = self.dir / f"exchange-{secrets.token_hex(4)}"
            stem.with_suffix(".tsq").write_bytes(query)
            openssl("ts", "-reply", "-config", self.dir / f"{name}.cnf", "-queryfile",
                    stem.with_suffix(".tsq"), "-out", stem.with_suffix(".tsr"), cwd=self.dir)
            return stem.with_suffix(".tsr").read_bytes()

    def query(self, imprint_hex):
        """A fresh DER TimeStampReq for the SHA-256 imprint, with certReq and a new nonce."""
        out = self.dir / f"query-{secrets.token_hex(4)}.tsq"
        openssl("ts", "-query", "-digest", imprint_hex, "-sha256", "-cert", "-out", out, cwd=self.dir)
        return out.read_bytes()

    def token_without_usage(self, query):
        """A token whose TSTInfo answers `query` but is signed by a certificate without the
        timeStamping usage (openssl ts -reply refuses such a signer, so CMS signs it)."""
        response = self.reply(query)
        stem = self.dir / f"unusual-{secrets.token_hex(4)}"
        stem.with_suffix(".tsr").write_bytes(response)
        openssl("ts", "-reply", "-in", stem.with_suffix(".tsr"), "-token_out", "-out",
                stem.with_suffix(".tok"), cwd=self.dir)
        openssl("cms", "-verify", "-noverify", "-inform", "DER", "-in", stem.with_suffix(".tok"),
                "-out", stem.with_suffix(".tst"), cwd=self.dir)
        openssl("cms", "-sign", "-binary", "-nodetach", "-outform", "DER", "-nosmimecap",
                "-econtent_type", "id-smime-ct-TSTInfo", "-md", "sha256", "-signer", "plain.pem",
                "-inkey", "plain.key", "-certfile", "plain-root.pem", "-in",
                stem.with_suffix(".tst"), "-out", stem.with_suffix(".p7"), cwd=self.dir)
        return granted(stem.with_suffix(".p7").read_bytes())

    def answer(self, mode, query, delay):
        if mode == "ok":
            return self.reply(query)
        if mode == "other":
            return self.reply(query, "other")
        if mode == "other_imprint":
            return self.reply(self.query(secrets.token_hex(32)))
        if mode == "other_nonce":
            return self.reply(self.query(imprint_of(query)))
        if mode == "no_usage":
            return self.token_without_usage(query)
        if mode == "reject":
            return der_sequence(der_sequence(b"\x02\x01\x02"))
        if mode == "garbage":
            return b"this is no time-stamp response\n"
        if mode == "slow":
            time.sleep(delay)
            return self.reply(query)
        raise ValueError(mode)


class Server:
    """The authority served over HTTP on 127.0.0.1; `url` is where to POST queries. Use as a
    context manager: the server stops when the block ends."""

    def __init__(self, directory):
        self.authority = Authority(directory)
        self.mode = "ok"
        self.delay = 5.0
        self.queries = []
        server = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def log_message(self, *args):
                pass

            def do_POST(self):
                query = self.rfile.read(int(self.headers.get("Content-Length", "0")))
                server.queries.append((self.path, self.headers.get("Content-Type"), query))
                if server.mode == "huge":
                    self._send_huge()
                    return
                try:
                    body = server.authority.answer(server.mode, query, server.delay)
                except (subprocess.CalledProcessError, ValueError):
                    self.send_error(500)
                    return
                self.send_response(200)
                self.send_header("Content-Type", "application/timestamp-reply")
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def _send_huge(self):
                size = 100 * 1024 * 1024
                self.send_response(200)
                self.send_header("Content-Type", "application/timestamp-reply")
                self.send_header("Content-Length", str(size))
                self.end_headers()
                chunk = b"\0" * (1 << 20)
                try:
                    for _ in range(size // len(chunk)):
                        self.wfile.write(chunk)
                except (BrokenPipeError, ConnectionResetError):
                    pass

        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.httpd.daemon_threads = True
        self.url = f"http://127.0.0.1:{self.httpd.server_address[1]}/tsa"
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.httpd.shutdown()
        self.httpd.server_close()
        self.thread.join()


if __name__ == "__main__":
    import sys
    import tempfile

    with tempfile.TemporaryDirectory() as scratch, Server(scratch) as served:
        served.mode = sys.argv[1] if len(sys.argv) > 1 else "ok"
        print(served.url, served.authority.root, flush=True)
        try:
            while True:
                time.sleep(3600)
        except KeyboardInterrupt:
            pass
