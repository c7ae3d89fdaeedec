"""certwright-index against both of its stores: a SQLite file and a throw-away PostgreSQL cluster
made here (initdb as an unprivileged user, a Unix socket in a temporary directory, no TCP). The
same table of adds and queries runs against both; so do hostile texts, edits behind the index's
back, concurrent adders and an adder killed mid-batch."""

import copy
import glob
import hashlib
import itertools
import json
import os
import pathlib
import random
import re
import shutil
import signal
import sqlite3
import stat
import subprocess
import tempfile
import time

import jsonschema
import pytest

from conftest import ATTEST, BIN, INDEX, ROOT, TEST_PUBLIC_B64, TEST_SEED_B64, base_env, encode, reseal

TRUST = ["--public-key", TEST_PUBLIC_B64]
OTHER_SEED_B64 = "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8="
PASSWORD = "pg-secret-8f3a"
# The first batch `add` commits holds this many certificates (kBatchCertificates).
BATCH = 1024


# ---- the certificates ----

@pytest.fixture(scope="module")
def base_certificates(tmp_path_factory):
    """Two certificates the emitter wrote: one sealed by the test operator key, signer alice,
    with stages s0 and s1 passed and s2 skipped; one sealed by an ephemeral key, no signer."""
    root = tmp_path_factory.mktemp("runs")
    run_dir = root / "run-1"
    (run_dir / "s0").mkdir(parents=True)
    (run_dir / "s0" / "plan.md").write_bytes(b"plan\n")
    (run_dir / "s1").mkdir()
    (run_dir / "s1" / "app").write_bytes(b"app binary\n")
    common = ["build-certificate", str(run_dir), "--requirements-hash", "r", "--stage-ids",
              "s0,s1,s2"]
    operator = root / "operator.json"
    subprocess.run([BIN, *common, "--tenant-mode", "--signer-subject", "alice",
                    "--signer-identity-provider", "idp", "--out", str(operator)],
                   env=base_env(ZEM_SIGNING_KEY=TEST_SEED_B64), check=True, capture_output=True)
    ephemeral = root / "ephemeral.json"
    subprocess.run([BIN, *common, "--out", str(ephemeral)], env=base_env(), check=True,
                   capture_output=True)
    return (json.loads(operator.read_bytes()), json.loads(ephemeral.read_bytes()),
            run_dir / "s1" / "app")


def variant(base, run_id, timestamp="2026-01-02T00:00:00Z", signer=("alice", "idp"),
            stages=None, seed=None):
    """`base` with another run id, time, signer (None: plain) and stages, sealed again."""
    certificate = copy.deepcopy(base)
    certificate["pipelineRunId"] = run_id
    certificate["timestamp"] = timestamp
    if signer is None:
        certificate.pop("signer", None)
    else:
        certificate["signer"] = {"subject": signer[0], "identityProvider": signer[1]}
        # keep the key order: the signer sits before certificateHash
        certificate = {k: certificate[k] for k in sorted(certificate, key=_key_rank)}
    if stages is not None:
        certificate["stages"] = stages
    return reseal(certificate, seed)


_ORDER = ["certificateVersion", "pipelineRunId", "timestamp", "status", "intent", "buildSpec",
          "stages", "verification", "proofChain", "signer", "certificateHash",
          "signingPublicKey", "certSignature", "signingAttestation"]


def _key_rank(key):
    return _ORDER.index(key)


def write(directory, name, certificate):
    path = pathlib.Path(directory) / name
    path.write_bytes(encode(certificate, pretty=True).encode("utf-8"))
    return path


def stage(stage_id, status="passed", artifacts=None):
    return {"stageId": stage_id, "status": status, "artifactHashes": artifacts or {},
            "gateResult": None}


# ---- the stores ----

def postgres_bin():
    found = sorted(glob.glob("/usr/lib/postgresql/*/bin/initdb"))
    return pathlib.Path(found[-1]).parent if found else None


class Cluster:
    """A PostgreSQL cluster in a temporary directory, reachable only on its Unix socket there."""

    def __init__(self):
        self.bin = postgres_bin()
        self.dir = pathlib.Path(tempfile.mkdtemp(prefix="certwright_pg."))
        self.dir.chmod(0o755)
        self.as_user = ()
        password_file = self.dir / "password"
        password_file.write_text(PASSWORD)
        if os.geteuid() == 0:  # initdb and postgres refuse to run as root
            self.as_user = ("runuser", "-u", "nobody", "--")
            shutil.chown(self.dir, "nobody")
            shutil.chown(password_file, "nobody")
        subprocess.run([*self.as_user, self.bin / "initdb", "-D", self.dir / "data", "-U",
                        "certwright", "--auth=scram-sha-256", f"--pwfile={password_file}",
                        "-E", "UTF8", "--locale=C"], check=True, capture_output=True,
                       cwd=self.dir)
        subprocess.run([*self.as_user, self.bin / "pg_ctl", "-D", self.dir / "data", "-l",
                        self.dir / "log", "-w", "-o",
                        f"-c listen_addresses='' -k {self.dir} -c fsync=off "
                        "-c max_connections=40", "start"],
                       check=True, capture_output=True, cwd=self.dir)
        self.databases = itertools.count()

    def new_database(self):
        name = f"index{next(self.databases)}"
        subprocess.run([self.bin / "createdb", "-w", "-h", self.dir, "-U", "certwright", name],
                       env=base_env(PGPASSWORD=PASSWORD), check=True, capture_output=True)
        return name

    def stop(self):
        subprocess.run([*self.as_user, self.bin / "pg_ctl", "-D", self.dir / "data", "-m",
                        "immediate", "-w", "stop"], capture_output=True, cwd=self.dir)
        shutil.rmtree(self.dir)


@pytest.fixture(scope="module")
def cluster():
    if postgres_bin() is None:
        pytest.skip("PostgreSQL is not installed (scripts/deps test installs it)")
    made = Cluster()
    yield made
    made.stop()


class Store:
    def __init__(self, kind, db, env, sql):
        self.kind, self.db, self.env, self._sql = kind, db, env, sql

    def sql(self, statement):
        """Runs `statement` (with X'..' for bytes) behind the index's back; its rows."""
        return self._sql(statement)

    def bytes_literal(self, data):
        return f"X'{data.hex()}'" if self.kind == "sqlite" else f"'\\x{data.hex()}'::bytea"


def sqlite_store(path):
    def sql(statement):
        with sqlite3.connect(path) as connection:
            rows = [connection.execute(part).fetchall() for part in statement.split(";")]
        return rows[-1]
    return Store("sqlite", str(path), base_env(), sql)


def postgres_store(cluster):
    name = cluster.new_database()
    env = base_env(PGPASSWORD=PASSWORD)

    def sql(statement):
        out = subprocess.run([cluster.bin / "psql", "-w", "-h", cluster.dir, "-U",
                              "certwright", "-d", name, "-At", "-F", "|", "-c", statement],
                             env=env, check=True, capture_output=True, text=True)
        return [tuple(line.split("|")) for line in out.stdout.splitlines()]
    return Store("postgresql", f"postgresql://certwright@/{name}?host={cluster.dir}", env, sql)


@pytest.fixture(params=["sqlite", "postgresql"])
def store(request, tmp_path):
    if request.param == "sqlite":
        return sqlite_store(tmp_path / "index.sqlite")
    return postgres_store(request.getfixturevalue("cluster"))


def index(store, *args, stdin=None):
    completed = subprocess.run([INDEX, *map(str, args), "--db", store.db], env=store.env,
                               input=stdin, capture_output=True, timeout=300)
    return completed.returncode, completed.stdout.decode("utf-8", "surrogateescape"), \
        completed.stderr.decode("utf-8", "surrogateescape")


def count(store, table="certificates"):
    return int(store.sql(f"SELECT count(*) FROM {table}")[0][0])


# ---- one table of adds and queries, both stores ----

def test_add_then_query_show_export_check(store, base_certificates, tmp_path):
    operator, ephemeral, app = base_certificates
    app_digest = hashlib.sha256(app.read_bytes()).hexdigest()
    files = {
        "a": write(tmp_path, "a.json", variant(operator, "run-a", "2026-01-01T00:00:00Z")),
        "b": write(tmp_path, "b.json", variant(operator, "run-b", "2026-01-02T00:00:00Z",
                                               signer=("bob@example.org", "github"))),
        "c": write(tmp_path, "c.json", variant(
            operator, "run-c", "2026-01-03T00:00:00Z", signer=None,
            stages=[stage("s0"), stage("s3-security", "failed", {"lib.so": app_digest})])),
        "e": write(tmp_path, "e.json", ephemeral),
    }
    tampered = json.loads(files["a"].read_bytes())
    tampered["pipelineRunId"] = "run-x"
    files["x"] = write(tmp_path, "x.json", tampered)

    status, out, err = index(store, "add", *TRUST, files["a"], files["b"], files["x"],
                             files["e"], files["c"], files["a"])
    assert status == 1, err
    lines = out.splitlines()
    assert lines[0] == f"refused {files['x']}: failed checks: hash, signature"
    assert lines[1].startswith(f"refused {files['e']}: failed checks: ") and "operator-key" in lines[1]
    assert [line.split(",")[1] for line in lines[2:]] == [
        " sequence number 1", " sequence number 2", " sequence number 3", " sequence number 1"]
    assert lines[-1].startswith(f"already stored {files['a']}: ")
    status, out, err = index(store, "add", *TRUST, "--allow-ephemeral", files["e"])
    assert (status, out.split(",")[1]) == (0, " sequence number 4\n"), err

    run_ids = {"a": "run-a", "b": "run-b", "c": "run-c", "e": "run-1"}
    cases = [
        ([], ["a", "b", "c", "e"]),
        (["--run-id", "run-b"], ["b"]),
        (["--run-id", "run-%"], []),
        (["--signer", "*"], ["a", "b"]),  # never a certificate without a signer
        (["--signer", "*@example.org"], ["b"]),
        (["--identity-provider", "id*"], ["a"]),
        (["--plain"], ["c", "e"]),
        (["--kind", "ephemeral"], ["e"]),
        (["--kind", "operator", "--plain"], ["c"]),
        (["--since", "2026-01-02T00:00:00Z", "--until", "2026-01-03T00:00:00Z"], ["b", "c"]),
        (["--missing-stage", "s1"], ["c"]),
        (["--missing-stage", "s2"], ["a", "b", "c", "e"]),
        (["--skipped"], ["a", "b", "e"]),
        (["--stage", "s3-security"], ["c"]),
        (["--digest", app_digest], ["a", "b", "c", "e"]),
        (["--artifact", app, "--stage", "s1"], ["a", "b", "e"]),
        (["--artifact", app, "--stage", "s3-security"], ["c"]),
        (["--digest", "0" * 64], []),
        (["--limit", "2"], ["a", "b"]),
        (["--signer", "*", "--limit", "1"], ["a"]),
    ]
    for args, expected in cases:
        status, out, err = index(store, "query", *args, "--format", "json")
        assert status == 0, (args, err)
        found = [entry["runId"] for entry in json.loads(out)["certificates"]]
        assert found == [run_ids[name] for name in expected], args

    # the hits name every place the digest is recorded; text lines carry them too
    status, out, _ = index(store, "query", "--digest", app_digest, "--format", "json")
    schema = json.loads((ROOT / "docs" / "index-query.schema.json").read_text(encoding="utf-8"))
    jsonschema.Draft202012Validator(schema).validate(json.loads(out))
    by_run = {entry["runId"]: entry for entry in json.loads(out)["certificates"]}
    assert by_run["run-c"]["hits"] == [{"stage": "s3-security", "artifact": "lib.so"}]
    assert by_run["run-a"]["signer"] == {"subject": "alice", "identityProvider": "idp"}
    assert by_run["run-c"]["signer"] is None and by_run["run-1"]["kind"] == "ephemeral"
    status, out, _ = index(store, "query", "--digest", app_digest, "--run-id", "run-c")
    hash_c = json.loads(files["c"].read_bytes())["certificateHash"]
    fields = out.rstrip("\n").split("\t")
    assert fields[0] == hash_c[:16] and fields[1:4] == ["run-c", "2026-01-03T00:00:00Z", "-"]
    assert fields[5:] == ["s3-security:lib.so"]
    assert index(store, "query", "--run-id", "nothing") == (0, "", "")

    status, out, _ = index(store, "show", hash_c[:10])
    assert status == 0 and f"certificate hash: {hash_c}\n" in out
    assert "  s3-security failed, 1 artifact\n" in out and "sequence number: 3\n" in out
    exported = tmp_path / "exported.json"
    assert index(store, "export", hash_c[:12], "--out", exported)[0] == 0
    assert exported.read_bytes() == files["c"].read_bytes()
    status, out, _ = index(store, "check")
    assert (status, out) == (0, "checked 4 certificates: all agree\n")


def test_prefixes_that_name_none_or_several(store, base_certificates, tmp_path):
    operator = base_certificates[0]
    seen = {}
    for number in itertools.count():
        certificate = variant(operator, f"run-{number}")
        write(tmp_path, f"{number}.json", certificate)
        first = certificate["certificateHash"][0]
        if first in seen:
            break
        seen[first] = certificate["certificateHash"]
    assert index(store, "add", *TRUST, *sorted(tmp_path.glob("*.json")))[0] == 0
    out_file = tmp_path / "out"
    status, out, err = index(store, "export", first, "--out", out_file)
    assert (status, out) == (1, "") and "several stored certificates" in err
    assert not out_file.exists()
    missing = next(d for d in "0123456789abcdef" if d not in seen and d != first)
    assert index(store, "show", missing)[0] == 1
    assert index(store, "show", "XYZ")[0] == 2


# ---- hostile texts ----

HOSTILE = [
    "it's \"quoted\"; DROP TABLE certificates; --",
    "100%",
    "a_b",
    "nul\u0000inside",
    "invoice\u202efdp.sh",
    "x" * (1 << 20),
]


def test_hostile_texts_are_stored_and_queried_exactly(store, base_certificates, tmp_path):
    operator = base_certificates[0]
    paths = []
    for number, text in enumerate(HOSTILE):
        certificate = variant(operator, text, signer=(text, text),
                              stages=[stage(text, "passed", {text: "ab" * 32})])
        paths.append(write(tmp_path, f"{number}.json", certificate))
    status, _, err = index(store, "add", *TRUST, *paths)
    assert status == 0, err
    status, out, _ = index(store, "query", "--format", "json")
    listed = {entry["runId"]: entry for entry in json.loads(out)["certificates"]}
    assert sorted(listed) == sorted(HOSTILE)
    for number, text in enumerate(HOSTILE):
        assert listed[text]["signer"] == {"subject": text, "identityProvider": text}
        hash_prefix = json.loads(paths[number].read_bytes())["certificateHash"][:16]
        status, out, _ = index(store, "export", hash_prefix)
        assert out.encode("utf-8", "surrogateescape") == paths[number].read_bytes()
        if "\u0000" in text or len(text) > 100_000:
            continue  # no argument can hold a NUL, nor 1 MiB (MAX_ARG_STRLEN)
        for option in ("--run-id", "--stage"):
            status, out, _ = index(store, "query", option, text, "--format", "json")
            assert [entry["runId"] for entry in json.loads(out)["certificates"]] == [text]
    # a LIKE wildcard is an ordinary character, and text output escapes what could disguise
    status, out, _ = index(store, "query", "--signer", "a_*")
    assert len(out.splitlines()) == 1 and "\ta_b (a_b)\t" in out
    status, out, _ = index(store, "query")
    assert "\u202e" not in out and "\u0000" not in out and "\\u{202e}" in out.lower()
    assert len(out.splitlines()) == len(HOSTILE)
    assert index(store, "check")[0] == 0


# ---- edits behind the index's back ----

EDITS = [
    ("UPDATE certificates SET run_id = {forged}", "run id"),
    ("UPDATE stages SET status = {passed} WHERE position = 2", "stages"),
    ("UPDATE artifacts SET digest = {forged}", "stages"),
    ("UPDATE certificates SET signer_subject = NULL", "signer"),
    ("UPDATE inputs SET requirements_hash = {forged}", "inputs"),
    ("UPDATE certificates SET bytes = {forged}", "do not match their recorded SHA-256"),
]


@pytest.mark.parametrize("edit,reason", EDITS)
def test_check_names_each_row_that_no_longer_agrees(store, base_certificates, tmp_path, edit,
                                                    reason):
    operator = base_certificates[0]
    path = write(tmp_path, "a.json", variant(operator, "run-a"))
    assert index(store, "add", *TRUST, path)[0] == 0
    store.sql(edit.format(forged=store.bytes_literal(b"forged"),
                          passed=store.bytes_literal(b"passed")))
    status, out, _ = index(store, "check")
    certificate_hash = json.loads(path.read_bytes())["certificateHash"]
    assert status == 1
    first = out.splitlines()[0]
    assert first.startswith(certificate_hash[:16] + " ") and reason in first
    if "bytes" in edit:
        status, out, err = index(store, "export", certificate_hash[:16])
        assert (status, out) == (1, "") and "nothing written" in err


def test_check_names_rows_removed(store, base_certificates, tmp_path):
    files = certificate_files(base_certificates[0], tmp_path / "three", ["r1", "r2", "r3"])
    assert index(store, "add", *TRUST, *files)[0] == 0
    store.sql("DELETE FROM artifacts WHERE certificate_seq = 2; DELETE FROM stages WHERE "
              "certificate_seq = 2; DELETE FROM inputs WHERE certificate_seq = 2; "
              "DELETE FROM certificates WHERE seq = 2")
    status, out, _ = index(store, "check")
    assert (status, out) == (1, "sequence numbers 2 to 2: missing\n"
                                "checked 2 certificates: 1 disagree\n")


def test_store_of_a_newer_schema_is_refused(store, base_certificates, tmp_path):
    path = write(tmp_path, "a.json", variant(base_certificates[0], "run-a"))
    assert index(store, "add", *TRUST, path)[0] == 0
    store.sql("UPDATE certwright_index SET value = " + store.bytes_literal(b"99"))
    status, out, err = index(store, "query")
    assert (status, out) == (2, "") and "schema version 99" in err and err.count("\n") == 1


# The artifacts table as the first release made it, digests as their hex text; the other tables
# are the same in both versions.
VERSION_1_ARTIFACTS = {
    "sqlite": """CREATE TABLE artifacts_v1 (certificate_seq INTEGER NOT NULL REFERENCES
        certificates (seq), stage_position INTEGER NOT NULL, name BLOB NOT NULL,
        digest BLOB NOT NULL);
      INSERT INTO artifacts_v1 SELECT certificate_seq, stage_position, name,
        CASE WHEN digest IS NULL THEN digest_text ELSE CAST(lower(hex(digest)) AS BLOB) END
        FROM artifacts ORDER BY rowid;
      DROP TABLE artifacts;
      ALTER TABLE artifacts_v1 RENAME TO artifacts;
      CREATE INDEX artifacts_by_digest ON artifacts (digest);
      CREATE INDEX artifacts_by_certificate ON artifacts (certificate_seq, stage_position)""",
    "postgresql": """CREATE TABLE artifacts_v1 (certificate_seq bigint NOT NULL REFERENCES
        certificates (seq), stage_position bigint NOT NULL, name bytea NOT NULL,
        digest bytea NOT NULL);
      INSERT INTO artifacts_v1 SELECT certificate_seq, stage_position, name,
        coalesce(convert_to(encode(digest, 'hex'), 'UTF8'), digest_text) FROM artifacts;
      DROP TABLE artifacts;
      ALTER TABLE artifacts_v1 RENAME TO artifacts;
      CREATE INDEX artifacts_by_digest ON artifacts USING hash (digest);
      CREATE INDEX artifacts_by_certificate ON artifacts (certificate_seq, stage_position)""",
}


def test_a_version_1_store_is_converted_in_place(store, base_certificates, tmp_path):
    operator, _, app = base_certificates
    app_digest = hashlib.sha256(app.read_bytes()).hexdigest()
    files = certificate_files(operator, tmp_path / "some", [f"run-{n}" for n in range(3)])
    files.append(write(tmp_path, "odd.json", variant(operator, "odd", stages=[
        stage("s0", "passed", {"capitals": "AB" * 32, "same": app_digest, "short": "ab12"})])))
    status, out, err = index(store, "add", *TRUST, *files)
    assert status == 0, out + err
    queries = [["--digest", app_digest], ["--digest", app_digest, "--stage", "s0"],
               ["--digest", "0" * 64], ["--missing-stage", "s1"]]
    answers = [index(store, "query", *query, "--format", "json") for query in queries]
    shown = index(store, "show", json.loads(files[-1].read_bytes())["certificateHash"][:16])
    store.sql(VERSION_1_ARTIFACTS[store.kind])
    store.sql("UPDATE certwright_index SET value = " + store.bytes_literal(b"1"))
    assert [index(store, "query", *query, "--format", "json") for query in queries] == answers
    assert json.loads(answers[1][1])["certificates"][0]["runId"] == "odd"
    assert index(store, "show", json.loads(files[-1].read_bytes())["certificateHash"][:16]) == shown
    assert index(store, "check")[:2] == (0, "checked 4 certificates: all agree\n")
    version = store.sql("SELECT value FROM certwright_index")[0][0]
    assert version in (b"2", "\\x32")


# ---- concurrency and faults ----

def certificate_files(base, directory, names):
    directory.mkdir(exist_ok=True)
    return [write(directory, f"{name}.json", variant(base, name)) for name in names]


@pytest.mark.parametrize("store_kind,adders", [("sqlite", 2), ("postgresql", 8)])
def test_concurrent_adders_lose_and_duplicate_nothing(request, base_certificates, tmp_path,
                                                      store_kind, adders):
    store = (sqlite_store(tmp_path / "index.sqlite") if store_kind == "sqlite"
             else postgres_store(request.getfixturevalue("cluster")))
    base = base_certificates[0]
    shared = certificate_files(base, tmp_path / "shared", [f"shared-{n}" for n in range(20)])
    processes = []
    for adder in range(adders):
        own = certificate_files(base, tmp_path / f"own{adder}",
                                [f"own-{adder}-{n}" for n in range(20)])
        files = shared + own
        random.Random(adder).shuffle(files)
        processes.append(subprocess.Popen([INDEX, "add", *TRUST, "--db", store.db, *files],
                                          env=store.env, stdout=subprocess.PIPE,
                                          stderr=subprocess.PIPE))
    for process in processes:
        _, err = process.communicate(timeout=300)
        assert process.returncode == 0, err
    total = 20 + 20 * adders
    seqs = sorted(int(row[0]) for row in store.sql("SELECT seq FROM certificates"))
    assert seqs == list(range(1, total + 1))
    assert count(store, "inputs") == total
    assert index(store, "check")[0] == 0


def test_add_killed_mid_batch_leaves_whole_batches(store, base_certificates, tmp_path):
    files = certificate_files(base_certificates[0], tmp_path / "many",
                              [f"run-{n}" for n in range(2 * BATCH + 40)])
    process = subprocess.Popen([INDEX, "add", *TRUST, "--db", store.db, *files], env=store.env,
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    # Killed once the first batch is in, while later ones are being verified or written.
    process.stdout.readline()
    time.sleep(random.uniform(0.0, 1.0))
    process.send_signal(signal.SIGKILL)
    process.wait()
    stored = count(store)
    assert stored in (BATCH, 2 * BATCH, len(files))
    assert count(store, "inputs") == stored
    assert int(store.sql("SELECT count(DISTINCT certificate_seq) FROM stages")[0][0]) == stored
    status, out, _ = index(store, "check")
    assert status == 0 and out.endswith(" all agree\n") and f"checked {stored} " in out
    # the rest is added by running the same add again
    assert index(store, "add", *TRUST, *files)[0] == 0
    assert count(store) == len(files)


@pytest.mark.parametrize("threads", ["1", "4"])
def test_add_on_several_threads_reports_in_argument_order(store, base_certificates, tmp_path,
                                                          threads):
    """Lines and sequence numbers come out as one thread gives them, whatever the threads:
    with a refusal, an unreadable name, a repeat and two certificates large enough to be verified
    one at a time among small ones."""
    operator = base_certificates[0]
    files = certificate_files(operator, tmp_path / "some", [f"run-{n}" for n in range(12)])
    large = [write(tmp_path, f"large{n}.json", variant(operator, f"{n}" + "x" * (5 << 20)))
             for n in range(2)]
    forged = json.loads(files[3].read_bytes())
    forged["pipelineRunId"] = "forged"
    files[3] = write(tmp_path, "forged.json", forged)
    files[7:7] = [large[0], tmp_path / "missing.json", large[1], files[1]]
    completed = subprocess.run([INDEX, "add", *TRUST, "--db", store.db, *map(str, files)],
                               env={**store.env, "CERTWRIGHT_THREADS": threads},
                               capture_output=True, text=True, timeout=300)
    assert completed.returncode == 2, completed.stderr
    assert completed.stderr.count("\n") == 1 and "missing.json unreadable" in completed.stderr
    # A refusal is printed when its turn comes; the added are printed as their batch commits,
    # which a large certificate closes.
    expected, pending, seqs = [], [], {}
    for path in files:
        if path.name == "forged.json":
            expected.append(f"refused {path}")
        elif path in seqs:
            pending.append(f"already stored {path} {seqs[path]}")
        elif path.name != "missing.json":
            seqs[path] = len(seqs) + 1
            pending.append(f"added {path} {seqs[path]}")
        if path in large:
            expected += pending
            pending = []
    expected += pending
    found = [re.sub(r": [0-9a-f]{16}, sequence number", "", line.split(": failed")[0])
             for line in completed.stdout.splitlines()]
    assert found == expected
    assert index(store, "check")[:2] == (0, f"checked {len(seqs)} certificates: all agree\n")


def test_a_large_certificate_on_standard_input_is_added_in_its_turn(store, base_certificates,
                                                                     tmp_path):
    """A pipe is known to be large only once read: its bytes wait for their turn."""
    operator = base_certificates[0]
    piped = write(tmp_path, "piped.json", variant(operator, "piped" + "x" * (5 << 20)))
    after = certificate_files(operator, tmp_path / "some", ["after-1", "after-2"])
    completed = subprocess.run([INDEX, "add", *TRUST, "--db", store.db, "-", *map(str, after)],
                               env={**store.env, "CERTWRIGHT_THREADS": "4"},
                               input=piped.read_bytes(), capture_output=True, timeout=300)
    assert completed.returncode == 0, completed.stderr
    names = [line.split(b":")[0] for line in completed.stdout.splitlines()]
    assert names == [b"added -", *[b"added " + str(path).encode() for path in after]]
    assert index(store, "check")[:2] == (0, "checked 3 certificates: all agree\n")


# ---- what is refused before anything is stored ----

def test_sqlite_paths_that_are_refused_are_left_as_they_were(tmp_path):
    foreign = tmp_path / "foreign.db"
    with sqlite3.connect(foreign) as connection:
        connection.execute("CREATE TABLE notes (text)")
    junk = tmp_path / "junk.db"
    junk.write_bytes(os.urandom(8192))
    link = tmp_path / "link.db"
    link.symlink_to(foreign)
    fifo = tmp_path / "fifo.db"
    os.mkfifo(fifo)
    cases = [(foreign, "not a certwright index"), (junk, "not a database"),
             (link, "is a symbolic link"), (fifo, "is not a regular file"),
             (tmp_path, "is a directory")]
    for path, message in cases:
        before = foreign.read_bytes(), junk.read_bytes()
        status, out, err = index(Store("sqlite", str(path), base_env(), None), "query")
        assert (status, out) == (2, ""), path
        assert err.startswith("error: index ") and message in err and err.count("\n") == 1
        assert (foreign.read_bytes(), junk.read_bytes()) == before
    assert sorted(p.name for p in tmp_path.iterdir()) == [
        "fifo.db", "foreign.db", "junk.db", "link.db"]


def test_postgres_login_failures_are_one_line_without_the_password(cluster):
    name = cluster.new_database()
    env = base_env(PGPASSWORD=None)
    wrong = f"postgresql://certwright:{PASSWORD}-wrong@/{name}?host={cluster.dir}"
    nowhere = f"postgresql://certwright:{PASSWORD}@/{name}?host={cluster.dir}/absent"
    malformed = f"postgresql://certwright:{PASSWORD}%zz@/{name}"
    for db, message in [(wrong, "password authentication failed"),
                        (nowhere, "No such file or directory"), (malformed, "malformed")]:
        status, out, err = index(Store("postgresql", db, env, None), "query")
        assert (status, out) == (2, "") and message in err and err.count("\n") == 1, err
        assert PASSWORD not in err


def test_add_takes_the_verifiers_trust_options_and_refuses_integrity_only(tmp_path,
                                                                          base_certificates):
    store = sqlite_store(tmp_path / "index.sqlite")
    path = write(tmp_path, "a.json", variant(base_certificates[0], "run-a"))
    status, _, err = index(store, "add", "--integrity-only", path)
    assert status == 2 and "'--integrity-only' trusts no key" in err
    status, _, err = index(store, "add", path)
    assert status == 2 and "trust must be stated" in err
    signers = tmp_path / "allowed-signers"
    signers.write_text(f"bob idp {TEST_PUBLIC_B64}\n")
    status, out, _ = index(store, "add", "--allowed-signers", signers, path)
    assert status == 1 and out.startswith(f"refused {path}: failed checks: ")
    signers.write_text(f"alice idp {TEST_PUBLIC_B64}\n")
    assert index(store, "add", "--allowed-signers", signers, "-", stdin=path.read_bytes())[0] == 0


def test_the_store_defaults_to_the_environment_then_the_data_directory(tmp_path,
                                                                        base_certificates):
    path = write(tmp_path, "a.json", variant(base_certificates[0], "run-a"))
    data_home = tmp_path / "data"
    env = base_env(XDG_DATA_HOME=str(data_home), CERTWRIGHT_INDEX=None)
    added = subprocess.run([INDEX, "add", *TRUST, path], env=env, capture_output=True)
    assert added.returncode == 0, added.stderr
    default = data_home / "certwright" / "index.sqlite"
    assert stat.S_IMODE(default.stat().st_mode) == 0o600
    chosen = tmp_path / "chosen.sqlite"
    env["CERTWRIGHT_INDEX"] = str(chosen)
    listed = subprocess.run([INDEX, "query"], env=env, capture_output=True, text=True)
    assert (listed.returncode, listed.stdout) == (0, "")  # a new, empty store
    listed = subprocess.run([INDEX, "query", "--db", default], env=env, capture_output=True,
                            text=True)
    assert "\trun-a\t" in listed.stdout


# ---- the man page and the completion follow the commands' help ----

COMMANDS = ["add", "query", "show", "export", "check"]


def help_options(command):
    help_text = subprocess.run([INDEX, command, "--help"], capture_output=True, text=True,
                               check=True).stdout
    return set(re.findall(r"^\s+(?:-\w, )?(--[a-z-]+)", help_text, re.M))


def test_man_page_names_every_option_of_every_command():
    page = ROOT / "docs" / "certwright-index.1"
    warnings = subprocess.run(["groff", "-man", "-Tutf8", "-ww", "-z", str(page)],
                              capture_output=True, text=True)
    assert warnings.returncode == 0 and warnings.stderr == "", warnings.stderr
    rendered = " ".join(subprocess.run(
        ["groff", "-man", "-Tutf8", "-P-cbou", "-rLL=20000n", str(page)],
        capture_output=True, text=True, check=True).stdout.split())
    for command in COMMANDS:
        assert f"certwright-index {command}" in rendered
        for option in help_options(command):
            assert option in rendered, (command, option)
    for word in ["EXIT STATUS", "CERTWRIGHT_INDEX", "certwright 0.3.0"]:
        assert word in rendered


@pytest.mark.parametrize("command", COMMANDS)
def test_completion_offers_each_commands_options(command, tmp_path):
    completion = ROOT / "share" / "bash-completion" / "completions" / "certwright-index"
    script = f"""source {completion}
COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1))
_certwright_index certwright-index "${{COMP_WORDS[COMP_CWORD]}}"
printf '%s\\n' "${{COMPREPLY[@]}}"
"""
    result = subprocess.run(["bash", "--norc", "--noprofile", "-c", script, "bash",
                             "certwright-index", command, "--"], cwd=tmp_path,
                            capture_output=True, text=True, timeout=30)
    assert set(result.stdout.split()) == help_options(command)


def test_a_bundle_is_stored_as_its_bytes_and_checked_again(store, base_certificates, tmp_path):
    path = write(tmp_path, "a.json", variant(base_certificates[0], "run-a"))
    subprocess.run([ATTEST, path], env=base_env(ZEM_SIGNING_KEY=TEST_SEED_B64), check=True,
                   capture_output=True)
    bundle = tmp_path / "a.sigstore.json"
    status, out, err = index(store, "add", *TRUST, bundle, path)
    assert status == 0, err
    assert out.splitlines()[1].startswith(f"already stored {path}: ")
    certificate_hash = json.loads(path.read_bytes())["certificateHash"]
    status, out, _ = index(store, "show", certificate_hash[:16])
    assert "added from: attestation\n" in out
    assert index(store, "export", certificate_hash[:16])[1].encode() == bundle.read_bytes()
    assert index(store, "check")[:2] == (0, "checked 1 certificate: all agree\n")


@pytest.mark.parametrize("separator", ["\n", "\0"])
def test_add_reads_more_files_from_a_list(tmp_path, base_certificates, separator):
    store = sqlite_store(tmp_path / "index.sqlite")
    files = certificate_files(base_certificates[0], tmp_path / "listed",
                              [f"run {n}" for n in range(3)])  # names with spaces
    listing = separator.join(map(str, files[1:])) + separator
    null = ["--null"] if separator == "\0" else []
    status, out, err = index(store, "add", *TRUST, *null, "--files-from", "-", files[0],
                             stdin=listing.encode())
    assert status == 0, err
    assert [line.split(":")[0] for line in out.splitlines()] == [f"added {f}" for f in files]
    status, _, err = index(store, "add", *TRUST, "--files-from", "-", "-", stdin=b"")
    assert status == 2 and "can be read only once" in err
    assert index(store, "add", *TRUST)[0] == 2
