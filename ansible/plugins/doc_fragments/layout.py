# -*- coding: utf-8 -*-
# Copyright: (c) Tamo settings maintainers
# MIT License (see LICENSE in the project's root)
#
# The layout option, described once for every module that reads a layout.

from __future__ import absolute_import, division, print_function

__metaclass__ = type


class ModuleDocFragment(object):

    DOCUMENTATION = r"""
options:
  layout:
    description:
      - A layout in place of I(path) - one settings file spread over hierarchies of folders
        (vendor defaults, runtime overrides, the administrator's files), each with drop-ins
        in C(NAME.d/), read as one.
      - C(man 1 tamo-settings) gives every rule of a layout.
    type: dict
    suboptions:
      name:
        description: The main file's name, such as C(app.conf).
        type: str
        required: true
      project:
        description: The hierarchies C(/usr/lib/PROJECT), C(/run/PROJECT) and C(/etc/PROJECT).
        type: str
      hierarchies:
        description: The hierarchies' folders, lowest first, in place of I(project).
        type: list
        elements: path
      suffix:
        description: The drop-ins' suffix; by default the main name's, such as C(.conf).
        type: str
      root:
        description: A folder that stands in for C(/), such as an image being prepared.
        type: path
"""
