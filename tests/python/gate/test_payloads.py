"""Constant pickle payloads and logging configurations: what they import is
judged as an import.

Each route is first run under this interpreter (in a child started with -I
-S), to prove that the call imports the forbidden module, which the file's
import statements alone do not; then the gate must fail the file. What the
file cannot show the target of stays a warning, and what Python stops
before (a truncated payload, what follows STOP) is no finding.
"""

import json
import subprocess
import sys

import pytest

from .conftest import gate

POLICY = """
[policy]
forbidden = ["subprocess", "socket", "shutil", "pty", "ftplib", "smtplib"]
allowed_exact = ["sys", "json", "pickle", "_pickle", "copyreg", "tempfile", "logging", "logging.config",
                 "logging.handlers"]
"""

# (source, the module the gate names, the module the call makes Python load). Payloads as pickle writes
# them (protocol 4 with its frame and memo, protocol 2's text GLOBAL), Python 2's names, a chain of
# attributes through an allowed module, and the ways the function is named.
ROUTES = {
    "protocol_0_global": ("import pickle\npickle.loads(b'csubprocess\\ngetoutput\\n.')\n", "subprocess",
                          "subprocess"),
    "protocol_4_memo": ("import pickle\npickle.loads(b'\\x80\\x04\\x95\\x15\\x00\\x00\\x00\\x00\\x00\\x00\\x00"
                        "\\x8c\\x06shutil\\x94\\x8c\\x06rmtree\\x94\\x93\\x94.')\n", "shutil", "shutil"),
    "python_2_name": ("import pickle\npickle.loads(b'\\x80\\x02ccommands\\ngetoutput\\n.')\n", "subprocess",
                      "subprocess"),
    "chain_through_allowed": ("import pickle\npickle.loads(b'\\x80\\x04ctempfile\\n_shutil.rmtree\\n.')\n",
                              "shutil", "shutil"),
    "folded_payload": ("import pickle\npickle.loads(b'cpt' + b'y\\nspawn\\n.')\n", "pty", "pty"),
    "from_alias": ("from pickle import loads as ld\nld(b'cftplib\\nFTP\\n.')\n", "ftplib", "ftplib"),
    "private_twin": ("import _pickle\n_pickle.loads(b'csmtplib\\nSMTP\\n.')\n", "smtplib", "smtplib"),
    "before_a_bad_opcode": ("import pickle\npickle.loads(b'cpty\\nfork\\n\\xff')\n", "pty", "pty"),
    "handler_class": ("import logging.config\nlogging.config.dictConfig({'version': 1, 'handlers': "
                      "{'h': {'class': 'smtplib.SMTP'}}})\n", "smtplib", "smtplib"),
    "formatter_factory": ("import logging.config\nlogging.config.dictConfig({'version': 1, 'formatters': "
                          "{'f': {'()': 'ftplib.FTP'}}})\n", "ftplib", "ftplib"),
    "ext_conversion": ("import logging.config\nlogging.config.dictConfig({'version': 1, 'handlers': {'h': "
                       "{'class': 'logging.StreamHandler', 'stream': 'ext://subprocess.DEVNULL'}}})\n",
                       "subprocess", "subprocess"),
    "queue_of_a_queue_handler": ("import logging.config\nlogging.config.dictConfig({'version': 1, 'handlers': "
                                 "{'q': {'class': 'logging.handlers.QueueHandler', 'queue': 'pty.STDIN_FILENO'}}})\n",
                                 "pty", "pty"),
    "config_alias": ("from logging.config import dictConfig as configure\n"
                     "configure({'version': 1, 'formatters': {'f': {'class': 'ftplib.FTP'}}})\n", "ftplib", "ftplib"),
}

# (source, the module Python loads through what the file cannot show): a warning.
WARNED = {
    "payload_computed": ("import pickle\ndata = b'csocket\\nsocket\\n.'\npickle.loads(data)\n", "socket"),
    "operands_made_by_reduce": ("import pickle\npickle.loads(b'cbuiltins\\nstr\\n(Vsmtplib\\ntRVSMTP\\n\\x93.')\n",
                                "smtplib"),
    "extension_code": ("import copyreg, pickle\ncopyreg.add_extension('ftplib', 'FTP', 240)\n"
                       "pickle.loads(b'\\x82\\xf0.')\n", "ftplib"),
    "config_held_by_a_name": ("import logging.config\nconfig = {'version': 1, 'formatters': {'f': {'()': 'ftplib.FTP'}}}\n"
                              "logging.config.dictConfig(config)\n", "ftplib"),
    "config_unpacked": ("import logging.config\nmore = {'formatters': {'f': {'()': 'ftplib.FTP'}}}\n"
                        "logging.config.dictConfig({'version': 1, **more})\n", "ftplib"),
    "factory_computed": ("import logging.config\nname = 'ftplib'\nlogging.config.dictConfig({'version': 1, "
                         "'formatters': {'f': {'()': name + '.FTP'}}})\n", "ftplib"),
    "factory_by_reference": ("import logging.config\nlogging.config.dictConfig({'version': 1, 'x': 'ftplib.FTP', "
                             "'formatters': {'f': {'()': 'cfg://x'}}})\n", "ftplib"),
    "stream_held_by_a_name": ("import logging.config\nstream = 'ext://subprocess.DEVNULL'\nlogging.config.dictConfig("
                              "{'version': 1, 'handlers': {'h': {'class': 'logging.StreamHandler', 'stream': stream}}})\n",
                              "subprocess"),
}

# What Python never reaches: after STOP, a truncated GLOBAL, a target in a text no converter reads.
UNREACHED = {
    "after_stop": ("import pickle\npickle.loads(b'cjson\\nloads\\n.csocket\\nsocket\\n.')\n", "socket"),
    "truncated": ("import pickle\npickle.loads(b'cftplib\\nFTP')\n", "ftplib"),
    "config_reference": ("import logging.config\nlogging.config.dictConfig({'version': 1, 'handlers': {'h': "
                         "{'class': 'logging.StreamHandler', 'stream': 'ext://sys.stderr'}}, 'root': "
                         "{'handlers': ['h'], 'level': 'INFO'}, 'formatters': {'f': {'format': 'pty.fork', "
                         "'datefmt': 'cfg://root.level'}}})\n", "pty"),
}


def loaded_by(source):
    """The modules running `source` loads beyond those its import statements
    load alone (each run from a fresh interpreter; what it raises is caught)."""
    imports = "".join(line + "\n" for line in source.splitlines() if line.startswith(("import ", "from ")))

    def run(text):
        probe = (
            "import sys\n"
            "before = set(sys.modules)\n"
            "try:\n"
            f"    exec(compile({text!r}, 'plugin.py', 'exec'), {{'__name__': 'plugin'}})\n"
            "except Exception:\n"
            "    pass\n"
            "print(' '.join(sorted(set(sys.modules) - before)))\n"
        )
        done = subprocess.run([sys.executable, "-I", "-S", "-c", probe], capture_output=True, text=True, check=True)
        return set(done.stdout.split())

    return run(source) - run(imports)


@pytest.fixture(scope="module")
def judged(tmp_path_factory):
    """The gate's findings per file, from one run over a file per route."""
    root = tmp_path_factory.mktemp("payloads")
    (root / "policy.toml").write_text(POLICY)
    tree = root / "plugin"
    tree.mkdir()
    for name, (source, *_) in {**ROUTES, **WARNED, **UNREACHED}.items():
        (tree / f"{name}.py").write_text(source)
    report = json.loads(gate("--json", "--policy", root / "policy.toml", tree).stdout)
    return {entry["filepath"].rsplit("/", 1)[-1][:-3]: entry for entry in report["files"]}


@pytest.mark.parametrize("route", sorted(ROUTES))
def test_a_module_a_constant_payload_or_configuration_imports_fails_the_file(route, judged):
    source, named, loaded = ROUTES[route]
    assert loaded in loaded_by(source)  # Python imports it at the call

    entry = judged[route]
    assert not entry["passed"]
    assert named in {finding["module"] for finding in entry["findings"] if finding["level"] == "error"}


@pytest.mark.parametrize("route", sorted(WARNED))
def test_what_the_file_cannot_show_the_target_of_stays_a_warning(route, judged):
    source, loaded = WARNED[route]
    assert loaded in loaded_by(source)  # a real route, which the gate cannot read

    findings = judged[route]["findings"]
    assert "non-constant-dynamic-import" in {finding["rule"] for finding in findings if finding["level"] == "warning"}
    assert all(finding["level"] != "error" for finding in findings)


@pytest.mark.parametrize("route", sorted(UNREACHED))
def test_what_python_stops_before_or_never_converts_is_no_finding(route, judged):
    source, never = UNREACHED[route]
    assert never not in loaded_by(source)

    entry = judged[route]
    assert entry["passed"] and entry["findings"] == []
