# -*- coding: utf-8 -*-
# How a failing run of the tool becomes the task's message, and which exit
# statuses are answers; and the settings_info module's argument checks.

from __future__ import absolute_import, division, print_function

__metaclass__ = type

import pytest

from ansible_collections.tamo.settings.plugins.module_utils.tool import Failure, answered, file_operands, read_flags, tool_failure
from ansible_collections.tamo.settings.plugins.modules.settings_info import checked_types, stored_key

ARGV = ["tamo-settings", "set", "--json"]


@pytest.mark.parametrize("rc, answer, err, message", [
    (65, {"error": "WEB_TAMO=maybe: the value is refused"}, "",
     "/f: WEB_TAMO=maybe: the value is refused (tamo-settings set exited 65: refused: a value the format or the rules"
     " cannot hold, or a file with refused lines; nothing written)"),
    (66, {"error": "/f: cannot read: No such file or directory"}, "",
     "/f: cannot read: No such file or directory (tamo-settings set exited 66: the file is missing, unreadable or"
     " not a regular file)"),
    (75, None, "tamo-settings: /f: locked by another writer\n",
     "/f: locked by another writer (tamo-settings set exited 75: locked by another writer for longer than the wait;"
     " nothing written)"),
    (64, None, "", "/f: the tool refused the command line (an older tamo-settings than this collection needs?)"),
    (99, None, "", "/f: tamo-settings ended with exit status 99"),
    (-9, None, "", "/f: tamo-settings was killed by signal 9"),
], ids=["json-error", "json-error-naming-file", "stderr-only", "known-status-alone", "unknown-status", "signal"])
def test_tool_failure_message(rc, answer, err, message):
    failure = tool_failure("/f", rc, answer, err, ARGV)
    assert (str(failure), failure.fields["exit_code"]) == (message, rc)


@pytest.mark.parametrize("rc, command, answer, expected", [
    (0, "set", {}, True),
    (2, "set", {}, True),
    (1, "check", {"files": []}, True),
    (1, "get", None, True),
    (1, "set", {}, False),
    (1, "check", {"error": "x"}, False),
    (65, "get", {"error": "x"}, False),
], ids=["done", "changed", "refused-lines", "absent-key", "set-no", "check-without-report", "refused"])
def test_answered(rc, command, answer, expected):
    assert answered(rc, command, answer) is expected


def test_checked_types_names_every_wrong_type():
    with pytest.raises(Failure) as raised:
        checked_types({"b": "float", "a": "integer", "c": "int"})
    assert str(raised.value) == "types: a: integer, b: float: not one of text, int, bool, double"


@pytest.mark.parametrize("key, installer_rules, expected", [
    ("port", False, "port"),
    ("auto_update", True, "AUTO_UPDATE"),
    ("auto_update", False, None),
    ("other", True, None),
], ids=["exact", "installer-key-any-case", "case-without-rules", "other-key-not-mapped"])
def test_stored_key(key, installer_rules, expected):
    assert stored_key({"port": "1", "AUTO_UPDATE": "Enable", "OTHER": "x"}, key, installer_rules) == expected


@pytest.mark.parametrize("params, flags, operands", [
    pytest.param({"path": "/f", "installer_rules": True}, ["--installer"], ["/f"], id="file"),
    pytest.param({"path": None, "layout": {"name": "app.conf", "project": "app", "hierarchies": None,
                                           "suffix": None, "root": "/img"}},
                 ["--layout=app.conf", "--project=app", "--root=/img"], [], id="project-layout"),
    pytest.param({"path": None, "layout": {"name": "a", "project": None, "hierarchies": ["/v", "/e"],
                                           "suffix": ".cfg", "root": None}},
                 ["--layout=a", "--hierarchies=/v:/e", "--suffix=.cfg"], [], id="folders-layout"),
])
def test_layout_flags_replace_the_file_operand(params, flags, operands):
    assert read_flags(params) == flags
    assert file_operands(params) == operands
