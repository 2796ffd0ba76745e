# The test double's win_command runs as an action plugin on the controller (see
# plugins/action/win_command.py); this file only names the module.
DOCUMENTATION = r"""
module: win_command
short_description: Test double of ansible.windows.win_command over a Wine prefix
"""
