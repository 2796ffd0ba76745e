# The test double's win_copy runs as an action plugin on the controller (see
# plugins/action/win_copy.py); this file only names the module.
DOCUMENTATION = r"""
module: win_copy
short_description: Test double of ansible.windows.win_copy over a Wine prefix
"""
