"""A judged figure and the judgement of one calibration."""

from __future__ import annotations

from dataclasses import dataclass, field

from .limits import EXIT_NOT_TRUSTWORTHY, EXIT_OK


@dataclass
class Check:
    """One judged figure: ``passed`` is None when the figure was not measured."""

    name: str
    passed: bool | None
    figures: str
    limit: str = ""

    @property
    def detail(self) -> str:
        """The figures with the limit they are held to, as the report's table shows them."""
        return self.figures + (f" (limit {self.limit})" if self.limit else "")

    def line(self) -> str:
        mark = {True: "pass", False: "FAIL", None: "n/a"}[self.passed]
        return f"  [{mark}] {self.name}: {self.figures}" + (f" (limit {self.limit})" if self.limit else "")

    def to_json(self) -> dict:
        return {"name": self.name, "passed": self.passed, "figures": self.figures, "limit": self.limit}


@dataclass
class Verdict:
    """The judgement of one calibration: ``code`` is the exit code, ``text`` the verdict on the checks alone and
    ``line`` the verdict as the console, the report and the record state it, which says when a passing result has
    ``warnings`` to act on (what the report's sections found: extrapolated distortion, unused pictures, ...)."""

    checks: list = field(default_factory=list)
    causes: list = field(default_factory=list)
    subject: str = "calibration"
    warnings: list = field(default_factory=list)

    @property
    def ok(self) -> bool:
        return not self.failed()

    @property
    def code(self) -> int:
        return EXIT_OK if self.ok else EXIT_NOT_TRUSTWORTHY

    def failed(self) -> list:
        return [check for check in self.checks if check.passed is False]

    def _noun(self) -> str:
        return "the dataset" if self.subject == "dataset" else f"the {self.subject} result"

    def reason(self) -> str:
        """The failed checks and the likely cause, without the verdict's opening words."""
        reason = "failed checks: " + ", ".join(check.name for check in self.failed())
        return reason + ("; likely cause: " + "; ".join(self.causes) if self.causes else "")

    @property
    def text(self) -> str:
        judged = [check for check in self.checks if check.passed is not None]
        if self.ok:
            return f"Verdict: PASS - {self._noun()} passes all {len(judged)} checks"
        failed = ", ".join(check.name for check in self.failed())
        line = f"Verdict: FAIL - {self._noun()} is not trustworthy ({failed})"
        if self.causes:
            line += "; likely cause: " + "; ".join(self.causes)
        return line

    def text_with_warnings(self, count: int) -> str:
        """The verdict line when the result passes but ``count`` warnings need acting on: it does not read as a
        plain PASS. The exit code stays the verdict's."""
        if not self.ok or not count:
            return self.text
        judged = [check for check in self.checks if check.passed is not None]
        return (f"Verdict: PASS with {count} warning{'s' if count > 1 else ''} - {self._noun()} passes all "
                f"{len(judged)} checks, but act on the warning{'s' if count > 1 else ''} below")

    @property
    def line(self) -> str:
        return self.text_with_warnings(len(self.warnings))

    def summary(self) -> str:
        """The checks, one a line, then the verdict line; under a passing verdict, the warnings to act on."""
        listed = [f"  warning: {warning}" for warning in self.warnings] if self.ok else []
        return "\n".join([check.line() for check in self.checks] + [self.line] + listed) + "\n"

    def to_json(self) -> dict:
        return {"passed": self.ok, "text": self.line, "causes": list(self.causes),
                "checks": [check.to_json() for check in self.checks], "warnings": list(self.warnings)}
