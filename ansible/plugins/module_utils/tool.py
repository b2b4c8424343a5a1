# -*- coding: utf-8 -*-
# Copyright: (c) Tamo settings maintainers
# MIT License (see LICENSE in the project's root)
#
# What the collection's modules share about the managed host's tamo-settings:
# finding it, running it with --json, and turning every failing exit status
# into one message that names the file and the reason, so that a play reads
# the same words whichever module met the failure.

from __future__ import absolute_import, division, print_function

__metaclass__ = type

import json

TOOL = "tamo-settings"
PACKAGE = "tamo-settings-tools"

# What each exit status of the tool means for the administrator.
EXIT_MEANINGS = {
    1: "the file has refused lines",
    3: "the change was made, but a later file of the layout still gives the key its value",
    64: "the tool refused the command line (an older tamo-settings than this collection needs?)",
    65: "refused: a value the format or the rules cannot hold, or a file with refused lines; nothing written",
    66: "the file is missing, unreadable or not a regular file",
    70: "internal error of tamo-settings; nothing written",
    73: "the file cannot be created; nothing written",
    74: "the file cannot be written",
    75: "locked by another writer for longer than the wait; nothing written",
    77: "permission denied, or a link or ownership rule refused the path; nothing written",
}

# The options by which a module chooses how the tool reads a file; every
# module takes them, so a new way of reading arrives in one place.
READ_OPTIONS = dict(
    path=dict(type="path"),
    layout=dict(
        type="dict",
        options=dict(
            name=dict(type="str", required=True),
            project=dict(type="str"),
            hierarchies=dict(type="list", elements="path"),
            suffix=dict(type="str"),
            root=dict(type="path"),
        ),
        mutually_exclusive=[["project", "hierarchies"]],
        required_one_of=[["project", "hierarchies"]],
    ),
    installer_rules=dict(type="bool", default=False),
)
# A module reads either one file or one layout.
READ_CONSTRAINTS = dict(
    required_one_of=[["path", "layout"]],
    mutually_exclusive=[["path", "layout"]],
)


class Failure(Exception):
    """Ends the task with a message and the fields that explain it."""

    def __init__(self, msg, **fields):
        super(Failure, self).__init__(msg)
        self.fields = fields


def read_flags(params):
    """The tool's options for the rules a file is read and written by, and for a layout."""
    flags = ["--installer"] if params.get("installer_rules") else []
    layout = params.get("layout")
    if layout:
        flags.append("--layout=" + layout["name"])
        if layout.get("project"):
            flags.append("--project=" + layout["project"])
        if layout.get("hierarchies"):
            flags.append("--hierarchies=" + ":".join(layout["hierarchies"]))
        for name in ("suffix", "root"):
            if layout.get(name):
                flags.append("--%s=%s" % (name, layout[name]))
    return flags


def file_operands(params):
    """The FILE operand of the tool: none for a layout, which its options name."""
    return [] if params.get("layout") else [params["path"]]


def target_of(params):
    """What messages name: the file, or the layout's main name."""
    layout = params.get("layout")
    return "layout %s" % layout["name"] if layout else params["path"]


def tool_path(module):
    path = module.get_bin_path(TOOL)
    if path is None:
        raise Failure(
            "%s is not installed on this host (not found on PATH): install the package %s" % (TOOL, PACKAGE)
        )
    return path


def answered(rc, command, answer):
    """Whether an exit status with its JSON answer is an answer rather than a failure."""
    if rc in (0, 2):
        return True
    # 1 is "no": refused lines for check, an absent key for get.
    if rc == 1 and command == "check":
        return isinstance(answer, dict) and "files" in answer
    return rc == 1 and command == "get" and answer is None


def run_tool(module, argv, path, data=None):
    """Runs the tool; returns its JSON answer and exit status, or fails with the file and reason."""
    rc, out, err = module.run_command(argv, data=data, binary_data=True, encoding="utf-8",
                                      errors="surrogate_or_replace")
    try:
        answer = json.loads(out) if out.strip() else None
        parsed = bool(out.strip())
    except ValueError:
        answer, parsed = None, False
    if answered(rc, argv[1], answer):
        if not parsed:
            raise Failure("%s: tamo-settings answered without the JSON report" % path, rc=rc, stdout=out, stderr=err)
        return answer, rc
    raise tool_failure(path, rc, answer, err, argv)


def tool_failure(path, rc, answer, err, argv):
    """Every failing exit status, as a message that names the file and the reason."""
    reason = None
    if isinstance(answer, dict) and answer.get("error"):
        reason = answer["error"]
    elif isinstance(answer, dict) and "files" in answer:
        reason = "; ".join("%s: %s" % (entry.get("file"), entry["error"])
                           for entry in answer["files"] if entry.get("error")) or None
    elif err.strip():
        reason = err.strip().splitlines()[-1]
        if reason.startswith(TOOL + ": "):
            reason = reason[len(TOOL) + 2:]
    meaning = EXIT_MEANINGS.get(rc)
    if rc < 0:
        meaning = "tamo-settings was killed by signal %d" % -rc
    elif meaning is None:
        meaning = "tamo-settings ended with exit status %d" % rc
    if not reason:
        reason = meaning
    msg = reason if reason.startswith(path) else "%s: %s" % (path, reason)
    if meaning != reason:
        msg += " (%s %s exited %d: %s)" % (TOOL, argv[1], rc, meaning)
    fields = dict(rc=rc, exit_code=rc, error=reason, stderr=err, cmd=argv)
    # A change a later file shadows was still made: the task says so.
    if rc == 3 and isinstance(answer, dict):
        fields.update(changed=bool(answer.get("changed")), keys=answer.get("keys", []), shadowed=True)
    if isinstance(answer, dict) and "files" in answer:
        fields["files"] = answer["files"]
    return Failure(msg, **fields)


def refused_lines(module, tool, flags, path, operands=None):
    """The refused lines of a file (or layout) as data; fails only when it cannot be read."""
    operands = [path] if operands is None else operands
    answer, rc = run_tool(module, [tool, "check", "--json"] + flags + ["--"] + operands, path)
    refused = []
    for entry in answer.get("files", []):
        if entry.get("error"):
            raise Failure("%s: %s" % (entry.get("file", path), entry["error"]), files=answer["files"])
        for line in entry.get("refused", []):
            refused.append(dict(file=entry.get("file", path), line=line["line"], column=line["column"],
                                message=line["message"]))
    return refused
