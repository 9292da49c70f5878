#!/usr/bin/env python3
"""Writes dbfrecover's manual page from what the program itself prints.

    help_to_man.py PROGRAM OUTPUT.1

The page is made of `PROGRAM --version`, `PROGRAM --help` and, for every
subcommand that help names ("inspect --help"), `PROGRAM SUBCOMMAND --help`,
so it says what --help says and nothing else. A help text reads as:

    Usage: line
    description paragraph(s)
    Heading:                  a section ("Options:", "Exit status:", ...)
      TERM    text            an entry; deeper lines continue its text
      plain line              a line of its own (no two-space gap)

A help text of any other shape stops the build rather than giving a page
that leaves things out.
"""
import re
import subprocess
import sys


def run(program, *words):
    done = subprocess.run([program, *words], capture_output=True, text=True)
    return done.returncode, done.stdout


def esc(text):
    text = text.replace("\\", "\\e").replace("-", "\\-")
    return "\\&" + text if text[:1] in (".", "'") else text


def term_markup(term):
    if not term.startswith("-"):
        return "\\fB" + esc(term) + "\\fR"
    # "-o, --output DIR": the option words bold, their argument italic.
    parts = []
    for word in re.split(r"(, | )", term):
        if word in (", ", " "):
            parts.append(word)
        elif word.startswith("-"):
            parts.append("\\fB" + esc(word) + "\\fR")
        else:
            parts.append("\\fI" + esc(word) + "\\fR")
    return "".join(parts)


class HelpText:
    def __init__(self, text, program_name):
        lines = text.rstrip("\n").split("\n")
        if not lines[0].startswith("Usage: " + program_name):
            sys.exit(f"help_to_man: no 'Usage: {program_name}' line: {lines[0]!r}")
        self.usage = lines[0][len("Usage: "):]
        self.description = []  # paragraphs, each a list of lines
        self.sections = []  # (heading, [lines])
        paragraph = None
        for line in lines[1:]:
            if not line.strip():
                paragraph = None
            elif not line.startswith(" ") and line.endswith(":"):
                self.sections.append((line[:-1], []))
                paragraph = None
            elif self.sections and line.startswith(" "):
                self.sections[-1][1].append(line)
            elif self.sections:
                # Prose after a section belongs to it, as a paragraph.
                self.sections[-1][1].append(line if paragraph else "\n" + line)
                paragraph = True
            else:
                if paragraph is None:
                    paragraph = []
                    self.description.append(paragraph)
                paragraph.append(line)


def usage_markup(usage, command_words):
    words = usage.split(" ")
    return ".B " + esc(" ".join(words[:command_words])) + "\n" + esc(" ".join(words[command_words:]))


def section_body(heading, lines):
    out = []
    if heading.lower() == "examples":
        out += [".PP", ".RS", ".nf"]
        out += [esc(line[2:] if line.startswith("  ") else line) for line in lines]
        out += [".fi", ".RE"]
        return out
    text_column = None
    for line in lines:
        if line.startswith("\n"):
            out += [".PP", esc(line[1:])]
            text_column = None
            continue
        if not line.startswith(" "):  # the paragraph above goes on
            out.append(esc(line))
            continue
        indent = len(line) - len(line.lstrip(" "))
        body = line.strip()
        gap = re.search(r"\S(  +)\S", body)
        if text_column is not None and indent >= text_column:
            out.append(esc(body))
        elif gap:
            term, text = body[:gap.start(1)], body[gap.end(1):]
            text_column = indent + gap.end(1)
            out += [".TP", term_markup(term), esc(text)]
        else:
            out += [".PP", esc(body)]
            text_column = None
    return out


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    program, output = sys.argv[1:]
    status, version = run(program, "--version")
    status_help, main_help = run(program, "--help")
    if status or status_help:
        sys.exit(f"help_to_man: {program} --version / --help failed")
    name = version.split()[0]
    main = HelpText(main_help, name)

    subcommands = []
    for sub in re.findall(r"\b([a-z][a-z-]*) --help\b", main_help):
        if sub == name or sub in (s for s, _ in subcommands):
            continue
        status, text = run(program, sub, "--help")
        if status == 0:  # a subcommand this build leaves out says so and fails
            subcommands.append((sub, HelpText(text, name + " " + sub)))

    summary = " ".join(" ".join(main.description[0]).split())
    summary = summary.split(". ")[0].rstrip(".")
    page = [
        f'.TH {name.upper()} 1 "" "{esc(version.strip())}" "User Commands"',
        ".SH NAME",
        f"{esc(name)} \\- {esc(summary[:1].lower() + summary[1:])}",
        ".SH SYNOPSIS",
        usage_markup(main.usage, 1),
    ]
    for sub, help_text in subcommands:
        page += [".br", usage_markup(help_text.usage, 2)]
    page.append(".SH DESCRIPTION")
    for paragraph in main.description:
        page += [".PP"] + [esc(line) for line in paragraph]
    for heading, lines in main.sections:
        page += [f'.SH "{esc(heading.upper())}"'] + section_body(heading, lines)
    for sub, help_text in subcommands:
        page += [f'.SH "{esc((name + " " + sub).upper())}"', ".PP", usage_markup(help_text.usage, 2)]
        for paragraph in help_text.description:
            page += [".PP"] + [esc(line) for line in paragraph]
        for heading, lines in help_text.sections:
            page += [f'.SS "{esc(heading)}"'] + section_body(heading, lines)
    with open(output, "w", encoding="utf-8") as out:
        out.write("\n".join(page) + "\n")


if __name__ == "__main__":
    main()
