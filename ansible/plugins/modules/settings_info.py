# -*- coding: utf-8 -*-
# Copyright: (c) Tamo settings maintainers
# MIT License (see LICENSE in the project's root)
#
# Reads a tamo settings file for a play to decide from, through the managed
# host's own tamo-settings: the values are what every reader of the file
# gets, typed by the same strict rules, and the refused lines are reported
# the way the setting module reports them.

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r"""
---
module: settings_info
short_description: Read the settings and the refused lines of a tamo settings file
version_added: 1.1.0
description:
  - Returns the settings of a tamo settings file as a mapping of key to value, and its refused
    lines as data, through the C(tamo-settings) tool of the managed host, which must be
    installed there (Debian package C(tamo-settings-tools)).
  - Values are text, as the file holds them, except for the keys named in I(types), which
    are read as that type by the tool's strict rules (C(tamo-settings get --type)).
  - Changes nothing. A file that cannot be read, or a value that is not of the type asked
    for, fails the task with the same message as M(tamo.settings.setting).
  - With I(layout), I(origins) tells where each value came from.
options:
  path:
    description:
      - The settings file. A symbolic link is followed.
      - One of I(path) and I(layout) is required.
    type: path
  installer_rules:
    description:
      - Read with the validator and key mapper of C(tamo-install-config) (C(--installer)), so that
        the keys C(AUTO_UPDATE), C(WEB_ANALYTICS), C(WEB_TAMO) and C(WEB_TAMO_SECURITY_LEVEL)
        match in any letter case and are returned in capitals, their refused values are
        refused lines, and their typed reads follow the installer's tables
        (C(Enable) read as C(int) is C(1)).
    type: bool
    default: false
  types:
    description:
      - A mapping of key to the type its value is read as; the other keys are text.
      - C(int) reads decimal, C(0x) hexadecimal or C(0) octal within 32 bits; C(bool) reads
        true, false, yes, no in any letter case, 1 or 0; C(double) reads a decimal number.
      - A key that is absent from the file stays absent from I(settings).
    type: dict
    default: {}
attributes:
  check_mode:
    support: full
    description: Reads the same in check mode; it never changes anything.
  diff_mode:
    support: none
    description: Nothing changes, so there is nothing to show.
notes:
  - Refused lines do not fail the task; the values of such lines are not in I(settings).
requirements:
  - C(tamo-settings) on the managed host (Debian package C(tamo-settings-tools)).
seealso:
  - module: tamo.settings.setting
author:
  - Tamo settings maintainers (!UNKNOWN)
extends_documentation_fragment:
  - tamo.settings.layout
"""

EXAMPLES = r"""
- name: Read the install-time choices with the installer's rules
  tamo.settings.settings_info:
    path: /etc/tamo/config/zlv-install.properties
    installer_rules: true
    types:
      AUTO_UPDATE: bool
      WEB_TAMO_SECURITY_LEVEL: int
  register: choices

- name: Raise the security level where it is below high
  tamo.settings.setting:
    path: /etc/tamo/config/zlv-install.properties
    installer_rules: true
    key: WEB_TAMO_SECURITY_LEVEL
    value: H
  when: choices.settings.WEB_TAMO_SECURITY_LEVEL | default(0) < 3

- name: Stop where the file has refused lines
  ansible.builtin.assert:
    that: choices.refused_count == 0
    fail_msg: "{{ choices.refused | map(attribute='message') | join('; ') }}"
"""

RETURN = r"""
path:
  description: The settings file, or C(layout NAME) for a layout.
  returned: always
  type: str
  sample: /etc/tamo/config/zlv-install.properties
origins:
  description: For a layout, the file and line (from 1) that gave each key its value.
  returned: with layout
  type: dict
  sample: {log_level: {file: /etc/app/app.conf.d/99-local.conf, line: 1}}
settings:
  description:
    - Every key of the file with its value; text, or the type I(types) names.
    - Under I(installer_rules) the installer's keys are in capitals.
  returned: always
  type: dict
  sample: {AUTO_UPDATE: 1, WEB_TAMO: Enable, proxy.port: "3128"}
refused:
  description: The refused lines of the file, counted from 1; the column is the byte of the line's first non-blank character.
  returned: always
  type: list
  elements: dict
  sample:
    - {file: /etc/tamo/config/zlv-install.properties, line: 3, column: 1,
       message: 'invalid value "yes" for "WEB_TAMO" (accepted: 1, 0, Enable, Disable, words in any letter case)'}
refused_count:
  description: How many lines of the file are refused.
  returned: always
  type: int
  sample: 0
exit_code:
  description: The exit status of C(tamo-settings) when it failed.
  returned: on failure of the tool
  type: int
  sample: 66
error:
  description: The tool's own message when it failed.
  returned: on failure of the tool
  type: str
"""

from ansible.module_utils.basic import AnsibleModule
from ansible.module_utils.common.text.converters import to_text
from ansible_collections.tamo.settings.plugins.module_utils.tool import (
    READ_CONSTRAINTS, READ_OPTIONS, Failure, file_operands, read_flags, refused_lines, run_tool, target_of,
    tool_path)

TYPES = ("text", "int", "bool", "double")
# The keys the installer's key mapper matches in any letter case.
INSTALLER_KEYS = ("AUTO_UPDATE", "WEB_ANALYTICS", "WEB_TAMO", "WEB_TAMO_SECURITY_LEVEL")


def checked_types(types):
    """The types asked for, refused before the tool runs when one is not a type it reads."""
    wrong = ["%s: %s" % (key, kind) for key, kind in sorted(types.items()) if kind not in TYPES]
    if wrong:
        raise Failure("types: %s: not one of %s" % (", ".join(wrong), ", ".join(TYPES)))
    return types


def stored_key(settings, key, installer_rules):
    """The key of the listing that KEY names, or None: the installer's keys match in any letter case."""
    if key in settings:
        return key
    if installer_rules and key.upper() in INSTALLER_KEYS and key.upper() in settings:
        return key.upper()
    return None


def read(module, tool, params):
    path = target_of(params)
    flags = read_flags(params)
    operands = file_operands(params)
    types = checked_types(params["types"] or {})
    refused = refused_lines(module, tool, flags, path, operands)
    listed, rc = run_tool(module, [tool, "list", "--json"] + flags + ["--"] + operands, path)
    # A layout's listing gives each value with the file and line it came from.
    origins = dict((key, dict(file=entry.get("file"), line=entry.get("line")))
                   for key, entry in listed.items()) if params["layout"] else None
    settings = dict((key, entry["value"]) for key, entry in listed.items()) if params["layout"] else listed
    for key, kind in types.items():
        name = stored_key(settings, key, params["installer_rules"])
        if name is not None and kind != "text":
            answer, rc = run_tool(module, [tool, "get", "--json", "--type=" + kind] + flags +
                                  ["--"] + operands + [name], path)
            settings[name] = answer["value"] if params["layout"] else answer
    result = dict(changed=False, path=path, settings=settings, refused=refused, refused_count=len(refused))
    if origins is not None:
        result["origins"] = origins
    return result


def main():
    module = AnsibleModule(
        argument_spec=dict(
            READ_OPTIONS,
            types=dict(type="dict", default={}),
        ),
        supports_check_mode=True,
        **READ_CONSTRAINTS
    )
    try:
        result = read(module, tool_path(module), module.params)
    except Failure as failure:
        module.fail_json(msg=to_text(failure), path=target_of(module.params), **failure.fields)
    module.exit_json(**result)


if __name__ == "__main__":
    main()
