# The test double's slurp runs as an action plugin on the controller (see
# plugins/action/slurp.py); this file only names the module.
DOCUMENTATION = r"""
module: slurp
short_description: Test double of ansible.windows.slurp over a Wine prefix
"""
