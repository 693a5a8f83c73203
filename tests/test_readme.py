"""README.md's examples, run as a new user runs them: each Python block as a plain script (`python
script.py`), each shell block with bash, with the installed `python` and `lumvarde-quorle` first on PATH,
in a fresh folder per section holding the sample files README's own sample block writes. The blocks of a
section run in order in its folder, as a reader pastes them one after another. A block that is not meant
to run says so in README: `<!-- not run: why -->` on the line before it, or `console`/`text` as its
language for shown output (a `console` block's `$ ` lines are run, the rest is their output); the ids of the
skipped cases carry that reason. The links between README and
docs/ must lead to a file and a heading that exist."""

import os
import re
import shutil
import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
README = ROOT / "README.md"
BIN = Path(sys.executable).parent
RUNNERS = {"python": "py", "bash": "sh", "sh": "sh", "shell": "sh", "console": "sh"}
SHOWN = {"console", "text"}
PROMPT = "$ "
NOT_RUN = "<!-- not run:"
SAMPLES = "<!-- sample files"
TIMEOUT = 180
FENCE = re.compile(r"^( *)(`{3,})([\w+-]*)\s*$")
# What a reader would take for a failure though the script ended well: a batch result's or a catalogue
# summary's error, or a traceback a worker printed.
SHOWN_ERROR = re.compile(r"Traceback \(most recent call last\)|\b\w+(?:Error|Exception)[(:]|\bfailed:")


@dataclass(frozen=True)
class Block:
    section: str
    number: int  # within its section, from 1
    line: int
    language: str
    code: str
    mark: str  # the HTML comment on the line before, if any

    @property
    def skip_reason(self):
        if self.mark.startswith(NOT_RUN):
            return self.mark[len(NOT_RUN) : -len("-->")].strip()
        if self.language in SHOWN and not (self.language == "console" and self.commands):
            return "output shown"
        return None

    @property
    def commands(self):
        """A console block's commands: its lines after the prompt; the rest is their output, shown."""
        return "".join(line[len(PROMPT) :] + "\n" for line in self.code.split("\n") if line.startswith(PROMPT))

    @property
    def is_samples(self):
        return self.mark.startswith(SAMPLES)

    @property
    def case_id(self):
        base = f"{slug(self.section)}-{self.number}-{self.language or 'plain'}"
        return f"{base}-not run: {self.skip_reason}" if self.skip_reason else base


def slug(heading):
    """The anchor GitHub gives a heading."""
    return re.sub(r"[^\w\- ]", "", heading.strip().lower()).replace(" ", "-")


def blocks_of(text):
    blocks, section, counts = [], "", {}
    lines = text.split("\n")
    index = 0
    while index < len(lines):
        line = lines[index]
        if line.startswith("## "):
            section = line[3:].strip()
        opening = FENCE.match(line)
        if not opening:
            index += 1
            continue
        indent, fence, language = opening.groups()
        end = next(i for i in range(index + 1, len(lines)) if lines[i].strip() == fence)
        code = "\n".join(body[len(indent) :] for body in lines[index + 1 : end]) + "\n"
        before = next((lines[i].strip() for i in range(index - 1, -1, -1) if lines[i].strip()), "")
        counts[section] = counts.get(section, 0) + 1
        mark = before if before.startswith("<!--") else ""
        blocks.append(Block(section, counts[section], index + 1, language, code, mark))
        index = end + 1
    return blocks


BLOCKS = blocks_of(README.read_text(encoding="utf-8"))


def case(block):
    return pytest.param(block, id=block.case_id)


def run(block, folder):
    script = folder / f"readme_example_{slug(block.section)}_{block.number}.{RUNNERS[block.language]}"
    script.write_text(block.commands if block.language == "console" else block.code, encoding="utf-8")
    command = [str(BIN / "python"), script.name] if block.language == "python" else ["bash", "-e", script.name]
    environment = {**os.environ, "PATH": f"{BIN}{os.pathsep}{os.environ.get('PATH', '')}", "MPLBACKEND": "Agg"}
    # A relative PYTHONPATH (make sanitize's build) must still name the same folder from the example's.
    entries = [str(Path(entry).resolve()) for entry in os.environ.get("PYTHONPATH", "").split(os.pathsep) if entry]
    if entries:
        environment["PYTHONPATH"] = os.pathsep.join(entries)
    return subprocess.run(
        command, cwd=folder, env=environment, capture_output=True, text=True, timeout=TIMEOUT, check=False
    )


def explain(block, completed):
    return (
        f"README.md line {block.line} ({block.section}, block {block.number}), exit status {completed.returncode}\n"
        f"--- code\n{block.code}--- stdout\n{completed.stdout[-3000:]}--- stderr\n{completed.stderr[-3000:]}"
    )


@pytest.fixture(scope="module")
def samples(tmp_path_factory):
    """A folder with the files README's sample block writes."""
    if not (BIN / "lumvarde-quorle").exists():
        pytest.fail(f"run the tests with the project's environment: no lumvarde-quorle beside {sys.executable}")
    chosen = [block for block in BLOCKS if block.is_samples]
    assert len(chosen) == 1, "README.md needs one block marked <!-- sample files ... -->"
    folder = tmp_path_factory.mktemp("samples")
    completed = run(chosen[0], folder)
    assert completed.returncode == 0, explain(chosen[0], completed)
    return folder


@pytest.fixture(scope="module")
def section_folder(samples, tmp_path_factory):
    """The folder of each section, made from the samples on first use; it remembers the blocks run in it."""
    folders = {}

    def folder_of(block):
        if block.section not in folders:
            folder = tmp_path_factory.mktemp(slug(block.section) or "top")
            shutil.copytree(samples, folder, dirs_exist_ok=True)
            folders[block.section] = (folder, set())
        return folders[block.section]

    return folder_of


def outputs_named(code):
    """Files a block says it writes, which must be there after it ran."""
    found = re.findall(r"--(?:output|chart)[ =](\S+)", code) + re.findall(r"save_path=\"([^\"]+)\"", code)
    return [name.strip("'\"") for name in found]


@pytest.mark.parametrize("block", [case(block) for block in BLOCKS if not block.is_samples])
def test_readme_example(block, section_folder):
    if block.skip_reason is not None:
        pytest.skip(block.skip_reason)
    assert block.language in RUNNERS, (
        f"README.md line {block.line}: a `{block.language}` block is neither run nor marked "
        f"<!-- not run: why --> (or `console`/`text` for shown output)"
    )
    folder, done = section_folder(block)
    # Earlier blocks of the section first, when this one is run alone: it may use what they wrote.
    for earlier in BLOCKS:
        if earlier.section == block.section and earlier.number < block.number and earlier.number not in done:
            if earlier.skip_reason is None and earlier.language in RUNNERS and not earlier.is_samples:
                run(earlier, folder)
            done.add(earlier.number)
    completed = run(block, folder)
    done.add(block.number)
    assert completed.returncode == 0, explain(block, completed)
    shown = SHOWN_ERROR.search(completed.stdout + completed.stderr)
    assert not shown, f"it showed {shown.group()!r}: " + explain(block, completed)
    for name in outputs_named(block.code):
        assert (folder / name).stat().st_size > 0, f"README.md line {block.line}: {name} was not written"


def test_readme_has_examples_of_each_kind():
    # Guards the parser: a change of README's fences must not leave the examples silently unrun.
    run_languages = {block.language for block in BLOCKS if block.skip_reason is None}
    assert {"python", "bash"} <= run_languages
    assert sum(block.is_samples for block in BLOCKS) == 1


def links_of(path):
    text = path.read_text(encoding="utf-8")
    inline = re.findall(r"\]\(([^)\s]+)\)", text)
    references = re.findall(r"^\[[^\]]+\]:\s*(\S+)", text, flags=re.MULTILINE)
    return [target for target in inline + references if "://" not in target]


def anchors_of(path):
    text = re.sub(r"```.*?```", "", path.read_text(encoding="utf-8"), flags=re.DOTALL)
    seen, anchors = {}, set()
    for heading in re.findall(r"^#{1,6} (.+)$", text, flags=re.MULTILINE):
        base = slug(heading)
        anchors.add(f"{base}-{seen[base]}" if base in seen else base)
        seen[base] = seen.get(base, 0) + 1
    return anchors


@pytest.mark.parametrize(
    "page", [README, *sorted((ROOT / "docs").glob("*.md"))], ids=lambda page: str(page.relative_to(ROOT))
)
def test_links_lead_to_a_file_and_heading(page):
    broken = []
    for target in links_of(page):
        name, _, anchor = target.partition("#")
        linked = (page.parent / name).resolve() if name else page
        if not linked.exists():
            broken.append(f"{target}: no such file")
        elif anchor and linked.suffix == ".md" and anchor not in anchors_of(linked):
            broken.append(f"{target}: no such heading")
    assert not broken, broken
