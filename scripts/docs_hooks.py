"""Build hooks of the documentation site (mkdocs.yml).

The guides link to sources, tests and benchmarks beside docs/, which read well in a checkout but
lie outside the site: such links become the file's path in code type. The command-line reference
is written from the parser itself, so it cannot drift from what the command accepts."""

from __future__ import annotations

import argparse
import re
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
CLI_MARKER = "<!-- the command line, from its parser -->"
# [text](../path) where path does not go back into docs/.
OUTSIDE_LINK = re.compile(r"\[([^\]]+)\]\(\.\./(?!docs/)([^)#\s]+)\)")


def _outside_link(match: re.Match[str]) -> str:
    text, path = match.group(1), match.group(2)
    return text if text.strip("`").rstrip("/") == path.rstrip("/") else f"{text} (`{path}`)"


def _command_reference() -> str:
    sys.path.insert(0, str(ROOT / "src"))
    from telvora_datasets import cli

    parser = cli._parser()
    sections = [f"```text\n{parser.format_help()}```"]
    for action in parser._actions:
        if isinstance(action, argparse._SubParsersAction):
            for name, sub in action.choices.items():
                sections.append(f"## `{parser.prog} {name}`\n\n```text\n{sub.format_help()}```")
    return "\n\n".join(sections)


def on_page_markdown(markdown: str, page, config, files) -> str:  # noqa: ANN001 - MkDocs' hook signature
    markdown = OUTSIDE_LINK.sub(_outside_link, markdown)
    if CLI_MARKER in markdown:
        markdown = markdown.replace(CLI_MARKER, _command_reference())
    return markdown
