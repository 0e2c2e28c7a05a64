"""Errors a user can act on."""


class UserError(Exception):
    """A problem the user can fix (bad argument, missing or mismatching file)."""
