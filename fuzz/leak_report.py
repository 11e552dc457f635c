"""Reads the sanitizer reports of a fuzz run (fuzz/run.py under scripts/sanitize.sh).

Fails on any address-sanitizer error, and on leaks whose allocation passed through the
module; the many leaks the interpreter itself leaves at exit are not counted.

    python fuzz/leak_report.py build/sanitize-leaks
"""

import pathlib
import re
import sys


def main(directory):
    reports = sorted(pathlib.Path(directory).glob("report.*"))
    leaks, errors, reported = [], [], 0
    for report in reports:
        text = report.read_text(errors="replace")
        if "ERROR: AddressSanitizer" in text:
            errors.append(f"{report}:\n{text[:6000]}")
        for block in re.split(r"\n(?=(?:Direct|Indirect) leak of)", text):
            if block.startswith(("Direct leak", "Indirect leak")):
                reported += 1
                if "telvora" in block:
                    leaks.append(block)
    for block in leaks[:5]:
        print(block, "\n")
    print(f"{len(reports)} sanitizer reports, {reported} leak records, {len(leaks)} through the module, "
          f"{len(errors)} errors")
    for error in errors:
        print(error)
    return 1 if leaks or errors else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
