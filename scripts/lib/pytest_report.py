"""Reads a pytest --junitxml report and fails a check that ran fewer tests than it should or
skipped any: pytest's own exit code already fails on errors and on "no tests collected", but a
run that skipped its way to green passes it.

    /usr/bin/python3 scripts/lib/pytest_report.py REPORT CHECK MINIMUM [WHAT]
"""
import sys
import xml.etree.ElementTree as ET


def main(report: str, check: str, minimum: str, what: str = "pytest tests passed") -> int:
    root = ET.parse(report).getroot()
    suite = root if root.tag == "testsuite" else root.find("testsuite")
    tests, skipped = int(suite.get("tests")), int(suite.get("skipped"))
    if tests < int(minimum) or skipped:
        print(f"{check}: {tests} tests ran, {skipped} skipped; expected at least {minimum}, "
              "none skipped", file=sys.stderr)
        return 1
    print(f"{check}: {tests} {what}")
    return 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
