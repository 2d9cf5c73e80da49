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
