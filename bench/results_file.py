"""The results files of the benchmarks: each script owns sections of them, headed "## ..."."""


def write_section(path, section, text):
    """Puts text in place of the file's section (up to the next '## ' heading), or at its end."""
    with open(path) as f:
        content = f.read()
    start = content.find(section + "\n")
    if start < 0:
        content = content.rstrip("\n") + "\n\n" + text.rstrip("\n") + "\n"
    else:
        end = content.find("\n## ", start + len(section))
        rest = content[end + 1:] if end >= 0 else ""
        content = content[:start] + text.rstrip("\n") + "\n" + ("\n" + rest if rest else "")
    with open(path, "w") as f:
        f.write(content)


def write_subsection(path, section, preamble, heading, text):
    """Puts text in place of the section's subsection that starts with heading (up to the section's
    next '### ' heading), or after its other subsections; the section's heading and preamble are
    written anew, its other subsections kept."""
    with open(path) as f:
        content = f.read()
    start = content.find(section + "\n")
    body = ""
    if start >= 0:
        end = content.find("\n## ", start + len(section))
        body = content[start:end if end >= 0 else len(content)]
    parts = ["\n### " + part for part in ("\n" + body).split("\n### ")[1:]]
    subsections = [part.strip("\n") for part in parts]
    ours = [i for i, part in enumerate(subsections) if part.startswith(heading + "\n")]
    if ours:
        subsections[ours[0]] = text.strip("\n")
    else:
        subsections.append(text.strip("\n"))
    write_section(path, section, "\n\n".join([section, preamble, *subsections]) + "\n")
