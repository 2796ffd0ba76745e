# The test double's win_stat runs as an action plugin on the controller (see
# plugins/action/win_stat.py); this file only names the module.
DOCUMENTATION = r"""
module: win_stat
short_description: Test double of ansible.windows.win_stat over a Wine prefix
"""
