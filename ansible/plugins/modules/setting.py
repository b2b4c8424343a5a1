# -*- coding: utf-8 -*-
# Copyright: (c) Tamo settings maintainers
# MIT License (see LICENSE in the project's root)
#
# Sets, removes and checks keys of tamo settings files by running the managed
# host's own tamo-settings: one implementation of every edit, the writers'
# lock, the read-back check and the safe replacement, whoever asks for them.

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r"""
---
module: setting
short_description: Set, remove or check keys of tamo settings files
version_added: 1.0.0
description:
  - Gives keys of a tamo settings file their values, removes keys, or reports the refused
    lines of a file, through the C(tamo-settings) tool of the managed host, which must be
    installed there (Debian package C(tamo-settings-tools)).
  - Only the lines of the keys that change are touched; comments, blank lines, order,
    spacing, line ends, the owner, the group and the mode of the file stay as they were.
    The new text is read back through the settings library before it is written, and the
    file is not written at all when its bytes would not change.
  - Concurrent runs on one file (many hosts sharing it, or several forks) take the tool's
    writers' lock in turn, so no key is lost.
  - All the keys of one task change in one transaction, as one file replacement.
  - With I(layout), changes go to one drop-in of the administrator's (highest) hierarchy,
    I(drop_in), and the task fails when a later file of the layout still gives a changed key
    its value (in check mode, when it would), so that a play never believes in a change that
    does not take effect. The drop-in is changed all the same outside check mode, and the
    result says so.
options:
  path:
    description:
      - The settings file. A symbolic link is followed and stays a link.
      - One of I(path) and I(layout) is required.
    type: path
  drop_in:
    description:
      - With I(layout), the name of the administrator's drop-in to change; the tool's
        default is C(99-local) and the suffix.
    type: str
  settings:
    description:
      - A mapping of key to value, given to the file in one transaction.
      - Only with I(state=present); mutually exclusive with I(key) and I(keys).
    type: dict
  key:
    description:
      - One key to set (with I(value)) or to remove.
    type: str
  keys:
    description:
      - The keys to remove, in one transaction. Only with I(state=absent).
    type: list
    elements: str
  value:
    description:
      - The value of I(key), with I(state=present).
      - A YAML boolean is written C(1) or C(0), the form both the library's truth values
        and the installer's rules accept and store; a number is written in decimal (an
        integer) or as the shortest text that reads back exactly (a float). Quote a value
        to keep its text as written (C("010"), C("Enable")).
      - The same holds for the values of I(settings).
    type: raw
  state:
    description:
      - C(present) gives the keys their values; C(absent) removes them (a key or a file
        that is not there is no change).
      - C(checked) reads the whole file and returns each refused line in I(refused),
        changing nothing; the task fails only when the file cannot be read.
    type: str
    choices: [present, absent, checked]
    default: present
  installer_rules:
    description:
      - Read and write with the validator and key mapper of C(tamo-install-config)
        (C(--installer)) so that C(AUTO_UPDATE), C(WEB_ANALYTICS), C(WEB_TAMO) and
        C(WEB_TAMO_SECURITY_LEVEL) match in any letter case and accept only their listed
        values; C(auto_update=enable) is then written C(AUTO_UPDATE=Enable).
    type: bool
    default: false
  create:
    description:
      - Whether a missing I(path) may be created (mode 0644 less the umask) by
        I(state=present). Its directory must exist either way.
    type: bool
    default: true
  wait:
    description:
      - How many seconds to wait for another writer of the same file to finish; C(0) does
        not wait. The tool's own default applies when not given.
      - After the wait the task fails and nothing is written.
    type: int
attributes:
  check_mode:
    support: full
    description: Reports what would change, with the diff, and writes nothing.
  diff_mode:
    support: full
    description: Returns the text of the file before and after the change.
notes:
  - The module fails with the file and the reason for every failure of the tool, for example
    a value the rules refuse, a file with refused lines that was to be changed, a file that
    cannot be read or written, or a lock held for longer than I(wait).
requirements:
  - C(tamo-settings) on the managed host (Debian package C(tamo-settings-tools)).
author:
  - Tamo settings maintainers (!UNKNOWN)
extends_documentation_fragment:
  - tamo.settings.layout
"""

EXAMPLES = r"""
- name: Turn on automatic updates with the installer's rules
  tamo.settings.setting:
    path: /etc/Vardel/Tamo/tamo.settings.cfg
    installer_rules: true
    settings:
      AUTO_UPDATE: enable
      WEB_TAMO_SECURITY_LEVEL: H

- name: Give one key its value, waiting up to 30 seconds for other writers
  tamo.settings.setting:
    path: /etc/Vardel/Tamo/tamo.settings.cfg
    key: proxy.port
    value: 3128
    wait: 30

- name: Override a vendor default in the administrator's drop-in of a layout
  tamo.settings.setting:
    layout:
      name: app.conf
      project: app
    drop_in: 60-site.conf
    key: log_level
    value: debug

- name: Remove keys no longer used
  tamo.settings.setting:
    path: /etc/Vardel/Tamo/tamo.settings.cfg
    keys: [OLD_PROXY, OLD_PORT]
    state: absent

- name: Report the refused lines of the install-time file
  tamo.settings.setting:
    path: /etc/tamo/config/zlv-install.properties
    installer_rules: true
    state: checked
  register: install_file

- name: Show them
  ansible.builtin.debug:
    msg: "{{ item.file }}:{{ item.line }}:{{ item.column }}: {{ item.message }}"
  loop: "{{ install_file.refused }}"
"""

RETURN = r"""
changed:
  description: Whether the file changed (or, in check mode, would change).
  returned: always
  type: bool
path:
  description: The settings file, or C(layout NAME) for a layout.
  returned: always
  type: str
  sample: /etc/Vardel/Tamo/tamo.settings.cfg
shadowed:
  description: True when the task failed because a later file of the layout still wins.
  returned: on that failure
  type: bool
keys:
  description:
    - Each key named, as the rules store it, with what happened to it.
    - C(before) and C(after) are the values, C(null) where the key is absent.
  returned: with state present or absent
  type: list
  elements: dict
  sample:
    - {key: AUTO_UPDATE, action: updated, before: "1", after: Enable}
    - {key: WEB_TAMO, action: added, before: null, after: "0"}
written:
  description: Whether the file was written; never in check mode or when nothing changed.
  returned: with state present or absent
  type: bool
refused:
  description: The refused lines of the file, counted from 1; the column is the byte of the line's first non-blank character.
  returned: with state checked
  type: list
  elements: dict
  sample:
    - {file: /etc/tamo/config/zlv-install.properties, line: 3, column: 1,
       message: 'invalid value "yes" for "WEB_TAMO" (accepted: 1, 0, Enable, Disable, words in any letter case)'}
refused_count:
  description: How many lines of the file are refused.
  returned: with state checked
  type: int
  sample: 1
exit_code:
  description: The exit status of C(tamo-settings) when it failed.
  returned: on failure of the tool
  type: int
  sample: 65
error:
  description: The tool's own message when it failed.
  returned: on failure of the tool
  type: str
refused_values:
  description:
    - Each value the rules refused, as C(KEY=VALUE) with the reason, which names the values
      the rules accept. The task's message says the same.
  returned: when the tool refused values
  type: list
  elements: dict
  sample:
    - {setting: WEB_TAMO=maybe,
       message: 'invalid value "maybe" for "WEB_TAMO" (accepted: 1, 0, Enable, Disable, words in any letter case)'}
"""

import os
import re

from ansible.module_utils.basic import AnsibleModule
from ansible.module_utils.common.text.converters import to_text
from ansible.module_utils.six import binary_type, integer_types, string_types, text_type
from ansible_collections.tamo.settings.plugins.module_utils.tool import (
    READ_CONSTRAINTS, READ_OPTIONS, Failure, file_operands, read_flags, refused_lines, run_tool, target_of,
    tool_path)


def stored_text(key, value):
    """The text a YAML value is written as: what the rules store for it."""
    if value is None:
        raise Failure("%s: no value given; use state=absent to remove the key" % key)
    if isinstance(value, bool):
        return "1" if value else "0"
    if isinstance(value, integer_types):
        return text_type(value)
    if isinstance(value, float):
        return repr(value)
    if isinstance(value, (string_types, binary_type)):
        return to_text(value, errors="surrogate_or_strict")
    raise Failure("%s: a %s cannot be a value; give text, a number or a boolean" % (key, type(value).__name__))


def wanted_settings(params):
    """The key=value operands of a set."""
    if params["key"] is not None:
        pairs = [(params["key"], stored_text(params["key"], params["value"]))]
    else:
        settings = params["settings"] or {}
        pairs = [(to_text(key), stored_text(key, settings[key])) for key in settings]
    for key, value in pairs:
        # The tool splits KEY=VALUE at the first "=": such a key would be
        # taken for a shorter key with another value.
        if "=" in key:
            raise Failure('%s: a key cannot hold "="' % key)
    return pairs


def refuse_unused(params, state, names):
    given = [name for name in names if params[name] is not None]
    if given:
        raise Failure("%s: not used with state=%s" % (", ".join(given), state))


def lines_of(text):
    """Lines with their ends, split as the tool splits them (\\r\\n, \\r or \\n)."""
    return re.findall(r"[^\r\n]*(?:\r\n|\r|\n)|[^\r\n]+$", text)


HUNK = re.compile(r"^@@ -(\d+),(\d+) \+(\d+),(\d+) @@")


def patched(before, diff):
    """The text after the tool's unified diff, or None when it does not fit before."""
    old = lines_of(before)
    new = []
    taken = 0
    last = None
    for line in lines_of(diff):
        hunk = HUNK.match(line)
        if hunk:
            start = int(hunk.group(1)) - (1 if int(hunk.group(2)) else 0)
            if start < taken or start > len(old):
                return None
            new.extend(old[taken:start])
            taken = start
            last = "@"
        elif last is None:
            continue  # the --- and +++ lines
        elif line.startswith("\\"):
            # "\ No newline at end of file": the line above has no end.
            if last in (" ", "+"):
                new[-1] = new[-1].rstrip("\r\n")
        elif line[:1] in (" ", "-"):
            if taken >= len(old) or old[taken].rstrip("\r\n") != line[1:].rstrip("\r\n"):
                return None
            if line[0] == " ":
                new.append(old[taken])
            taken += 1
            last = line[0]
        elif line[:1] == "+":
            new.append(line[1:])
            last = "+"
        else:
            return None
    new.extend(old[taken:])
    return "".join(new)


def read_text(path):
    try:
        with open(path, "rb") as stream:
            return to_text(stream.read(), errors="surrogate_or_replace")
    except (IOError, OSError):
        return None


def diff_of(path, before, tool_diff):
    """Diff mode's before and after texts, or the tool's own diff when the file moved under us."""
    if not tool_diff:
        return {"before": before or "", "after": before or "", "before_header": path, "after_header": path}
    after = patched(before, tool_diff) if before is not None else None
    if after is None:
        return {"prepared": tool_diff}
    return {"before": before, "after": after, "before_header": path, "after_header": path}


def refused_values(module, tool, flags, path, operands):
    """Why the tool refused values: each refused KEY=VALUE with the values its rules accept."""
    if any("\n" in operand or "\r" in operand for operand in operands):
        return []
    # check reads the operands as a file of their own, one line each, and
    # names what the rules accept, which set's refusal does not.
    answer, rc = run_tool(module, [tool, "check", "--json"] + flags + ["-"], path,
                          data="".join(operand + "\n" for operand in operands))
    return [dict(setting=operands[line["line"] - 1], message=line["message"])
            for entry in answer.get("files", []) for line in entry.get("refused", [])
            if 0 < line["line"] <= len(operands)]


def edit(module, tool, params):
    path = target_of(params)
    state = params["state"]
    flags = read_flags(params)
    argv = [tool, "set" if state == "present" else "unset", "--json"] + flags
    if module.check_mode:
        argv.append("--check")
    if params["wait"] is not None:
        argv.append("--wait=%d" % params["wait"])
    if params["drop_in"] is not None:
        if not params["layout"]:
            raise Failure("drop_in: only with layout")
        argv.append("--drop-in=" + params["drop_in"])
    if state == "present":
        refuse_unused(params, state, ["keys"])
        if params["key"] is None and params["settings"] is None:
            raise Failure("state=present needs settings, or key and value")
        try:
            operands = ["%s=%s" % pair for pair in wanted_settings(params)]
        except Failure as failure:
            raise Failure("%s: %s" % (path, failure))
    else:
        refuse_unused(params, state, ["settings", "value"])
        operands = [params["key"]] if params["key"] is not None else list(params["keys"] or [])
        if params["key"] is None and params["keys"] is None:
            raise Failure("state=absent needs key or keys")
    result = dict(changed=False, path=path, keys=[], written=False)
    if not operands:
        return result
    if state == "present" and not params["create"] and not params["layout"] and not os.path.exists(path):
        raise Failure("%s: the file does not exist and create is false" % path)
    # A layout's drop-in is found by the tool: its own diff is shown.
    before = None
    if module._diff and not params["layout"]:
        # A file still to be made is empty before the change.
        before = read_text(path) if os.path.exists(path) else ""

    try:
        answer, rc = run_tool(module, argv + ["--"] + file_operands(params) + operands, path)
    except Failure as failure:
        refused = refused_values(module, tool, flags, path, operands) if state == "present" and \
            failure.fields.get("rc") == 65 else []
        if not refused:
            raise
        raise Failure("%s: %s" % (path, "; ".join("%s: the value is refused: %s" % (item["setting"], item["message"])
                                                  for item in refused)),
                      refused_values=refused, **failure.fields)
    result.update(
        changed=bool(answer.get("changed")),
        keys=answer.get("keys", []),
        written=bool(answer.get("written", answer.get("changed") and not module.check_mode)),
    )
    if module._diff:
        result["diff"] = diff_of(path, before, answer.get("diff", ""))
    return result


def check(module, tool, params):
    refuse_unused(params, "checked", ["settings", "key", "keys", "value", "drop_in"])
    refused = refused_lines(module, tool, read_flags(params), target_of(params), file_operands(params))
    return dict(changed=False, path=target_of(params), refused=refused, refused_count=len(refused))


def main():
    module = AnsibleModule(
        argument_spec=dict(
            READ_OPTIONS,
            settings=dict(type="dict"),
            key=dict(type="str", no_log=False),
            keys=dict(type="list", elements="str", no_log=False),
            value=dict(type="raw"),
            state=dict(type="str", default="present", choices=["present", "absent", "checked"]),
            create=dict(type="bool", default=True),
            wait=dict(type="int"),
            drop_in=dict(type="str"),
        ),
        mutually_exclusive=[["settings", "key", "keys"]] + READ_CONSTRAINTS["mutually_exclusive"],
        required_one_of=READ_CONSTRAINTS["required_one_of"],
        required_by={"value": "key"},
        supports_check_mode=True,
    )
    params = module.params
    try:
        tool = tool_path(module)
        if params["state"] == "checked":
            result = check(module, tool, params)
        else:
            result = edit(module, tool, params)
    except Failure as failure:
        module.fail_json(msg=to_text(failure), path=target_of(params), **failure.fields)
    module.exit_json(**result)


if __name__ == "__main__":
    main()
