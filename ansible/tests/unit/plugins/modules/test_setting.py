# -*- coding: utf-8 -*-
# The setting module's pure parts: how YAML values become the text the rules
# store, which arguments are refused before the tool runs, and how the
# tool's diff is applied to the text read before.

from __future__ import absolute_import, division, print_function

__metaclass__ = type

import pytest

from ansible_collections.tamo.settings.plugins.module_utils.tool import Failure
from ansible_collections.tamo.settings.plugins.modules.setting import patched, stored_text, wanted_settings


@pytest.mark.parametrize("value, text", [
    (True, "1"),
    (False, "0"),
    (3128, "3128"),
    (-7, "-7"),
    (0.1, "0.1"),
    (1e21, "1e+21"),
    ("010", "010"),
    (b"Enable", "Enable"),
], ids=["true", "false", "int", "negative", "float-shortest", "float-exponent", "quoted-keeps-text", "bytes"])
def test_stored_text(value, text):
    assert stored_text("k", value) == text


@pytest.mark.parametrize("params, message", [
    ({"key": "k", "value": None, "settings": None}, "k: no value given; use state=absent to remove the key"),
    ({"key": None, "value": None, "settings": {"k": [1]}}, "k: a list cannot be a value; give text, a number or a boolean"),
    ({"key": None, "value": None, "settings": {"a=b": 1}}, 'a=b: a key cannot hold "="'),
], ids=["no-value", "list-value", "key-with-equals"])
def test_wanted_settings_refuses(params, message):
    with pytest.raises(Failure) as raised:
        wanted_settings(params)
    assert str(raised.value) == message


@pytest.mark.parametrize("before, diff, after", [
    ("a=1\nb=2\n", "--- f\n+++ f\n@@ -1,1 +1,1 @@\n-a=1\n+a=3\n", "a=3\nb=2\n"),
    ("", "--- f\n+++ f\n@@ -0,0 +1,1 @@\n+a=1\n", "a=1\n"),
    ("a=1\r\nb=2\r\n", "--- f\n+++ f\n@@ -2,1 +2,1 @@\n-b=2\n+b=3\r\n", "a=1\r\nb=3\r\n"),
    ("a=1", "--- f\n+++ f\n@@ -1,1 +1,2 @@\n-a=1\n\\ No newline at end of file\n+a=1\n+b=2\n", "a=1\nb=2\n"),
    ("a=1\n", "--- f\n+++ f\n@@ -1,1 +1,1 @@\n-x=9\n+a=3\n", None),
], ids=["replace-line", "new-file", "crlf-kept", "no-final-newline", "file-moved-under-us"])
def test_patched(before, diff, after):
    assert patched(before, diff) == after
