#!/usr/bin/env python3
# --help, the man page and the README tell the same option letters, options, files and exit
# statuses, word for word once markup is taken away.
#
#   docs_agree.py README.md PROGRAM MANPAGE [PROGRAM MANPAGE]...
#
# The first status table of the README is the tool's; a program other than the first also has the
# statuses of the README's later status tables (jmreader-sim's own). Exits 1 with the differences.
import re
import shlex
import subprocess
import sys


def norm(text):
    text = re.sub(r"\s+", " ", text.replace("`", "")).strip().rstrip(".")
    return text[:1].lower() + text[1:]


def from_help(program):
    out = subprocess.run([program, "--help"], capture_output=True, text=True, check=True).stdout
    kinds = {"selection": "letters", "Options": "options", "Files": "files", "Exit status": "statuses"}
    found = {kind: {} for kind in kinds.values()}
    section, last = None, None
    for line in out.splitlines():
        head = re.match(r"^(\S[^:,]*)[:,]", line)
        entry = re.match(r"^  (\S(?:.*?\S)?) {2,}(\S.*)$", line)
        more = re.match(r"^ {4,}(\S.*)$", line)
        if head:
            section, last = kinds.get(head.group(1)), None
        elif section and entry:
            last = entry.group(1)
            found[section][last] = entry.group(2)
        elif section and more and last:
            found[section][last] += " " + more.group(1)
        else:
            section = None
    return found


def roff_line(line):
    # .B and .I set their words in one font; .BR, .IR, ... alternate fonts with no space between.
    macro, _, rest = line.partition(" ") if line.startswith(".") else ("", "", line)
    args = shlex.split(rest.replace("\\", "\\\\")) if macro else [rest]
    text = " ".join(args) if macro in ("", ".B", ".I") else ""
    text = "".join(args) if re.match(r"^\.[BIR]{2}$", macro) else text
    text = text.replace("\\-", "-").replace("\\e", "\\")
    return re.sub(r"\\f[BIRP]", "", text)


def from_man(path):
    found = {"letters": {}, "options": {}, "files": {}, "statuses": {}}
    section, tag, lines = None, None, []
    with open(path, encoding="utf-8") as page:
        source = page.read().splitlines() + [".SH END"]
    for line in source:
        if line.startswith((".TP", ".PP", ".SH")) and tag is not None:
            kind = {"OPTIONS": "options" if tag.startswith("-") else "letters",
                    "FILES": "files", "EXIT STATUS": "statuses"}.get(section)
            if kind:
                found[kind][tag] = " ".join(lines)
            tag = None
        if line.startswith(".SH"):
            section = line[4:].strip('"')
        elif line.startswith(".TP"):
            tag, lines = "", []
        elif tag == "":
            tag = roff_line(line)
        elif tag is not None:
            lines.append(roff_line(line))
    return found


def from_readme(path):
    tables = {"letter": "letters", "option": "options", "file": "files", "status": "statuses"}
    found = {kind: {} for kind in tables.values()}
    extra, kind = {}, None
    with open(path, encoding="utf-8") as readme:
        for line in readme:
            cells = [c.strip() for c in line.strip().strip("|").split("|")] if line.startswith("|") else []
            if not cells:
                kind = None
            elif kind is None:
                kind = tables.get(cells[0])
                target = extra if kind == "statuses" and found["statuses"] else found.get(kind)
            elif not cells[0].startswith("---"):
                name = re.match(r"^`?([^`]*)`?", cells[0]).group(1) if kind == "files" else cells[0]
                target[name.replace("`", "")] = cells[-1]
    return found, extra


def main(readme, *programs):
    documented, simulator = from_readme(readme)
    failed = False
    for index in range(0, len(programs), 2):
        program, manpage = programs[index], programs[index + 1]
        statuses = {**documented["statuses"], **(simulator if index > 0 else {})}
        readme_view = dict(documented, statuses=statuses)
        views = {"--help": from_help(program), manpage: from_man(manpage), readme: readme_view}
        for kind in ("letters", "options", "files", "statuses"):
            told = {source: {name: "" if kind == "files" else norm(text)
                             for name, text in view[kind].items()} for source, view in views.items()}
            for source, entries in told.items():
                first = told["--help"]
                if entries != first or not entries:
                    failed = True
                    print(f"{program}: the {kind} of {source} are missing or differ from --help:")
                    for name in sorted(n for n in set(entries) | set(first) if entries.get(n) != first.get(n)):
                        print(f"  {name}: {source}: {entries.get(name)!r}, --help: {first.get(name)!r}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
