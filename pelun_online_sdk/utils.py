"""Small shared pieces of the package: its version and the result base class."""

# The build reads the package version from this line; keep it a plain literal.
VERSION_SDK = "0.1.0"
"""The package version, also sent in the clients' User-Agent."""


class Report:
    """Base of the small result objects the package hands out.

    Subclasses set their fields as plain attributes (``headers``, ``data``);
    the repr lists them so a result reads well in a log or a REPL.
    """

    def __repr__(self) -> str:
        fields = ", ".join(
            f"{name}={value!r}"
            for name, value in vars(self).items()
            if not name.startswith("_")
        )
        return f"{type(self).__name__}({fields})"
