"""Turns a manual page written in a small plain-text form into roff (man(7)).

The form, one construct per block of lines:

  % NAME SECTION "FOOTER"       first line: the page header
  # HEADING                     a section (.SH)
  ## HEADING                    a subsection (.SS)
  TERM                          a tagged paragraph (.TP): the term on its own
  : text ...                    line, its text on the following lines, each
  : more text                   starting with ': '
  - text                        a bullet item (continued on lines indented by
                                two blanks)
      literal line              lines indented by four blanks: an example,
                                printed as it is
  @help COMMAND                 a subsection made from 'PROGRAM COMMAND --help':
                                its usage line, then its paragraphs
                                (needs --help-program)

Any other lines are paragraphs, separated by blank lines. Inline, `word` is
bold and *word* italic. The text is UTF-8; backslashes, minus signs and
lines that roff would take for requests are escaped.

With --help-program every command that the program's own --help lists must
have its @help line, so the page cannot fall behind the program.
"""

import argparse
import re
import subprocess
import sys


def escape(text):
    return text.replace("\\", "\\e").replace("-", "\\-")


def safe(line):
    """A text line that roff does not take for a request."""
    return "\\&" + line if line.startswith((".", "'")) else line


def inline(text):
    out = []
    for part in re.split(r"(`[^`]+`|\*[^*\s][^*]*\*)", text):
        if part.startswith("`") and part.endswith("`") and len(part) > 1:
            out.append("\\fB" + escape(part[1:-1]) + "\\fR")
        elif part.startswith("*") and part.endswith("*") and len(part) > 1:
            out.append("\\fI" + escape(part[1:-1]) + "\\fR")
        else:
            out.append(escape(part))
    return safe("".join(out))


def help_text(program, command):
    args = [program] + ([command, "--help"] if command else ["--help"])
    done = subprocess.run(args, capture_output=True, text=True, check=False)
    if done.returncode != 0 or not done.stdout.startswith("usage: "):
        sys.exit(f"mkman: '{' '.join(args)}' did not print its help")
    return done.stdout


def listed_commands(program):
    """The commands the program's main help lists under 'commands:'."""
    lines = help_text(program, None).splitlines()
    if "commands:" not in lines:
        sys.exit("mkman: the program's help lists no commands")
    names = []
    for line in lines[lines.index("commands:") + 1:]:
        if not line.startswith("  "):
            break
        names.append(line.split()[0])
    return names


def help_section(program, command):
    """A subsection: the usage line as its title, the help's paragraphs."""
    text = help_text(program, command)
    usage, _, rest = text.partition("\n")
    words = usage[len("usage: "):].split(" ")
    roff = [".SS " + escape(command), ".PP",
            "\\fB" + escape(" ".join(words[:2])) + "\\fR " + escape(" ".join(words[2:]))]
    for para in re.split(r"\n\s*\n", rest.strip()):
        roff.append(".PP")
        roff.append(inline(" ".join(line.strip() for line in para.splitlines())))
    return roff


def convert(source, program):
    lines = source.splitlines()
    if not lines or not lines[0].startswith("% "):
        sys.exit("mkman: the first line must be '% NAME SECTION \"FOOTER\"'")
    head = lines[0][2:].split(None, 2)
    if len(head) < 2:
        sys.exit("mkman: the header needs a name and a section")
    footer = head[2] if len(head) > 2 else '""'
    # Left-aligned, no hyphenation: option names must stay whole.
    out = [f'.TH "{head[0]}" "{head[1]}" "" {footer}', ".ad l", ".nh"]
    helped = set()
    para = []

    def flush():
        if para:
            out.append(".PP")
            out.append(inline(" ".join(para)))
            para.clear()

    i = 1
    while i < len(lines):
        line = lines[i]
        nxt = lines[i + 1] if i + 1 < len(lines) else ""
        if not line.strip():
            flush()
        elif line.startswith("## "):
            flush()
            out.append(".SS " + inline(line[3:].strip()))
        elif line.startswith("# "):
            flush()
            out.append(".SH " + escape(line[2:].strip().upper()))
        elif line.startswith("@help "):
            flush()
            if program is None:
                sys.exit("mkman: @help needs --help-program")
            command = line.split()[1]
            helped.add(command)
            out.extend(help_section(program, command))
        elif line.startswith("    "):
            flush()
            block = []
            while i < len(lines) and (lines[i].startswith("    ") or not lines[i].strip()):
                block.append(lines[i][4:] if lines[i].strip() else "")
                i += 1
            while block and not block[-1]:
                block.pop()
            out.extend([".PP", ".RS 4", ".nf"] + [safe(escape(b)) for b in block] + [".fi", ".RE"])
            continue
        elif line.startswith("- "):
            flush()
            item = [line[2:].strip()]
            while i + 1 < len(lines) and lines[i + 1].startswith("  ") and not lines[i + 1].startswith("    "):
                i += 1
                item.append(lines[i].strip())
            out.extend([".IP \\(bu 2", inline(" ".join(item))])
        elif nxt.startswith(": "):
            flush()
            out.extend([".TP", inline(line.strip())])
            text = []
            while i + 1 < len(lines) and lines[i + 1].startswith(": "):
                i += 1
                text.append(lines[i][2:].strip())
            out.append(inline(" ".join(text)))
        else:
            para.append(line.strip())
        i += 1
    flush()

    if program is not None:
        missing = [c for c in listed_commands(program) if c not in helped]
        if missing:
            sys.exit("mkman: commands without their @help line: " + " ".join(missing))
    return "\n".join(out) + "\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("source")
    parser.add_argument("-o", "--output", required=True)
    parser.add_argument("--help-program", help="program whose COMMAND --help texts @help takes")
    args = parser.parse_args()
    with open(args.source, encoding="utf-8") as f:
        roff = convert(f.read(), args.help_program)
    with open(args.output, "w", encoding="utf-8") as f:
        f.write(roff)


if __name__ == "__main__":
    main()
