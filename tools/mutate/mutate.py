#!/usr/bin/env python3
"""Seeded mutation testing of the daemon's own code.

Makes small, reproducible changes (mutants) to the sources, rebuilds a private
copy of the tree and runs the tests that cover the changed folder. A mutant
the tests catch is killed; one they pass with survived. See README.md.
"""
import argparse
import datetime
import json
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
FOLDERS = ["app", "base", "drivers", "protocols", "server", "storage", "transport"]

# Test executables per source path; the longest matching prefix wins. The
# tool turns them into a ctest -R regex of the tests each one holds (CTest
# names the tests by suite only, not by executable).
TESTS = {
    "app": ["test_app"],
    "base": ["test_base", "test_server", "test_storage"],
    "base/crc": ["test_base", "test_modbus_framing", "test_mercury", "test_ce2727"],
    "base/thread": ["test_base", "test_transport", "test_framework"],
    "drivers/framework": ["test_framework"],
    "drivers/models": ["test_mercury", "test_ce30x", "test_ce2727"],
    "drivers/models/mercury": ["test_mercury"],
    "drivers/models/ce30x": ["test_ce30x"],
    "drivers/models/ce2727": ["test_ce2727"],
    "protocols/iec61107": ["test_iec61107", "test_ce30x"],
    "protocols/modbus": ["test_modbus_framing"],
    "server": ["test_server", "test_framework", "test_confsrv"],
    "storage": ["test_storage", "test_framework"],
    "transport": ["test_transport"],
}


def tests_for(path):
    key = max((k for k in TESTS if path == k or path.startswith(k + "/") or
               path.startswith(k + ".") or path.startswith(k + "_")),
              key=len, default=None)
    return TESTS[key] if key else []


# ---------------------------------------------------------------- lexing

def mask(text):
    """Blank comments and the insides of string and character literals, so
    that patterns see code only; every offset stays where it was."""
    out = list(text)
    i, n = 0, len(text)
    while i < n:
        c = text[i]
        if text.startswith("//", i):
            j = text.find("\n", i)
            j = n if j < 0 else j
        elif text.startswith("/*", i):
            j = text.find("*/", i + 2)
            j = n if j < 0 else j + 2
        elif c == 'R' and text.startswith('R"', i) and (i == 0 or not text[i - 1].isalnum()):
            m = re.match(r'R"([^(\s]*)\(', text[i:])
            end = text.find(")" + m.group(1) + '"', i) if m else -1
            j = n if end < 0 else end + len(m.group(1)) + 2
        elif c in "\"'" and not (c == "'" and i and text[i - 1].isdigit()):
            j = i + 1
            while j < n and text[j] != c and text[j] != "\n":
                j += 2 if text[j] == "\\" else 1
            i, j = i + 1, j  # keep both quotes
        else:
            i += 1
            continue
        for k in range(i, min(j, n)):
            if out[k] != "\n":
                out[k] = " "
        i = j + 1 if c in "\"'" else j
    return "".join(out)


def skipped_lines(code_lines):
    """Preprocessor lines and log-only statements (with their continuation
    lines): changing them changes nothing the tests could see."""
    skip = set()
    cont = False
    depth = None
    for no, line in enumerate(code_lines):
        s = line.strip()
        if cont or s.startswith("#"):
            skip.add(no)
            cont = s.endswith("\\")
            continue
        if depth is None and re.match(r"LOG_[A-Z]+\s*\(", s):
            depth = 0
        if depth is not None:
            skip.add(no)
            depth += s.count("(") - s.count(")")
            if depth <= 0 and s.endswith(";"):
                depth = None
            continue
        if re.search(r"\blogger\b|\blog->|\bLOG_[A-Z]+\s*\(|fprintf\s*\(\s*stderr|\bvirtual\b|static_assert", s):
            skip.add(no)
    return skip


# ---------------------------------------------------------------- operators

CMP = {"<": "<=", "<=": "<", ">": ">=", ">=": ">", "==": "!=", "!=": "=="}
OPERAND = r"(?:[A-Za-z_]\w*(?:(?:\.|->|::)[A-Za-z_]\w*)*(?:\(\))?|\d+[uUlL]*|0[xX][0-9a-fA-F]+)"
SWAP = re.compile(r"(?<![\w.>:)\]])(" + OPERAND + r") (-|/|<<) (" + OPERAND + r")(?![\w(\[.]|->|::)")
STMT_KEYWORDS = {"return", "break", "continue", "case", "default", "goto", "if", "for", "while",
                 "do", "else", "throw", "using", "typedef", "namespace", "class", "struct",
                 "enum", "template", "public", "private", "protected", "delete", "new", "auto",
                 "const", "static", "switch", "try", "catch"}
CHAIN = r"[A-Za-z_]\w*(?:(?:\.|->|::)[A-Za-z_]\w*|\[[^\]]*\])*"
DROP = re.compile(r"^(?:(?:\+\+|--)" + CHAIN + "|" + CHAIN +
                  r"\s*(?:\(.*\)|(?:[-+*/|&^]|<<|>>)?=[^=].*|\+\+|--));$")


def matching_paren(code, i):
    depth = 0
    for j in range(i, len(code)):
        depth += {"(": 1, ")": -1}.get(code[j], 0)
        if depth == 0:
            return j
    return -1


def line_mutants(code, prev):
    """(start, end, replacement, operator) for one masked line; prev is the
    previous code line, to tell a statement start from a continuation."""
    out = []
    for m in re.finditer(r"(?<=\s)(<=|>=|==|!=|<|>)(?=\s)", code):
        out.append((m.start(1), m.end(1), CMP[m.group(1)], "comparison"))
    for m in re.finditer(r"(?<![\w.'])(0|[1-9]\d*)([uUlL]*)(?![\w.'])", code):
        if code[m.end():].lstrip().startswith("]") and re.search(r"\w\s+\w+\[\s*$", code[:m.start()]):
            continue  # a buffer size: one more or less is rarely visible
        v = int(m.group(1))
        out.append((m.start(1), m.end(1), str(v + 1), "constant"))
        if v > 0:
            out.append((m.start(1), m.end(1), str(v - 1), "constant"))
    for m in re.finditer(r"(?<![\w.])0[xX]([0-9a-fA-F]+)([uUlL]*)(?![\w.])", code):
        digits = m.group(1)
        width = len(digits)
        v = int(digits, 16)
        up = "0x%0*X" % (width, (v + 1) % (16 ** width))
        flip = "0x%0*X" % (width, v ^ 0xFF if width <= 2 else v ^ 0x80)
        out.append((m.start(), m.end(1), up, "byte"))
        out.append((m.start(), m.end(1), flip, "byte"))
    for m in SWAP.finditer(code):
        if m.group(2) == "<<" and (code.count("<<") > 1 or re.search(r"std::|\bos\b|stream", code)):
            continue
        out.append((m.start(1), m.end(3), "%s %s %s" % (m.group(3), m.group(2), m.group(1)), "swap"))
    for m in re.finditer(r"&&|\|\|", code):
        out.append((m.start(), m.end(), "||" if m.group() == "&&" else "&&", "logic"))
    for m in re.finditer(r"\b(true|false)\b", code):
        out.append((m.start(), m.end(), "false" if m.group() == "true" else "true", "bool"))
    for m in re.finditer(r"\b(if|while)\s*\(", code):
        close = matching_paren(code, m.end() - 1)
        inner = code[m.end():close] if close > 0 else ""
        if inner.strip() and ";" not in inner and not re.match(r"\s*(constexpr|\w[\w:<>*&\s]*\s\w+\s*=[^=])", inner):
            out.append((m.end(), close, "!(%s)" % inner, "condition"))
    s = code.strip()
    m = re.match(r"return\s+(.+);$", s)
    if m and m.group(1).strip() not in ("{}", "0", "false", "true", "nullptr"):
        off = code.index(s)
        out.append((off + 7, off + len(s) - 1, "{}", "return"))
    p = prev.rstrip()
    head = re.match(r"[A-Za-z_]\w*", s)
    if (DROP.match(s) and s.count("(") == s.count(")") and
            (not p or p[-1] in ";{}:" or p.endswith("else")) and
            not (head and head.group() in STMT_KEYWORDS)):
        off = code.index(s)
        out.append((off, off + len(s), ";", "drop"))
    return out


class Mutant:
    def __init__(self, path, line, start, end, new, op, original):
        self.path, self.line, self.op = path, line, op
        self.start, self.end, self.new = start, end, new
        self.old_line = original
        self.new_line = original[:start] + new + original[end:]
        self.folder = path.split("/")[0]

    def diff(self):
        return "%s:%d  `%s` -> `%s`" % (self.path, self.line, self.old_line.strip(),
                                        self.new_line.strip())


def source_files(folder):
    files = []
    for dirpath, _, names in os.walk(os.path.join(ROOT, folder)):
        for name in names:
            if name.endswith((".cpp", ".h", ".hpp", ".cc")):
                files.append(os.path.relpath(os.path.join(dirpath, name), ROOT))
    return sorted(files)


def candidates(folder):
    found = []
    for path in source_files(folder):
        with open(os.path.join(ROOT, path), encoding="utf-8") as f:
            text = f.read()
        lines = text.split("\n")
        code_lines = mask(text).split("\n")
        skip = skipped_lines(code_lines)
        prev = ""
        for no, code in enumerate(code_lines):
            if no not in skip and code.strip():
                for start, end, new, op in line_mutants(code, prev):
                    found.append(Mutant(path, no + 1, start, end, new, op, lines[no]))
            if code.strip() and not code.strip().startswith("#"):
                prev = code
    return found


def choose(folder, seed, sample):
    """Round robin over the operators, each shuffled by its own generator, so
    a small sample still mixes kinds and one folder's pick does not depend on
    which other folders run."""
    rng = random.Random("%s:%s" % (seed, folder))
    by_op = {}
    for m in candidates(folder):
        by_op.setdefault(m.op, []).append(m)
    ops = sorted(by_op)
    rng.shuffle(ops)
    for op in ops:
        rng.shuffle(by_op[op])
    picked = []
    while len(picked) < sample and any(by_op.values()):
        for op in ops:
            if by_op[op] and len(picked) < sample:
                picked.append(by_op[op].pop())
    return sorted(picked, key=lambda m: (m.path, m.line, m.start, m.new))


# ---------------------------------------------------------------- building

def git(*args):
    return subprocess.run(["git", "-C", ROOT] + list(args), capture_output=True, text=True).stdout


def sync_tree(src):
    """Copy the tree into the scratch folder, writing only files that differ so
    the scratch build stays incremental between runs."""
    files = set(git("ls-files", "--cached", "--others", "--exclude-standard", "-z").split("\0"))
    files.discard("")
    for rel in sorted(files):
        a, b = os.path.join(ROOT, rel), os.path.join(src, rel)
        if not os.path.isfile(a):
            continue
        with open(a, "rb") as f:
            data = f.read()
        if os.path.isfile(b):
            with open(b, "rb") as f:
                if f.read() == data:
                    continue
        os.makedirs(os.path.dirname(b), exist_ok=True)
        # A fresh time, not the source's: an object built from an older copy
        # may be newer than the source file and would not be rebuilt.
        shutil.copy(a, b)
    for dirpath, _, names in os.walk(src):
        for name in names:
            rel = os.path.relpath(os.path.join(dirpath, name), src)
            if rel not in files:
                os.remove(os.path.join(dirpath, name))


def run(cmd, timeout=None, cwd=None):
    """Runs cmd in its own process group; returns (status, output) where status
    is the exit code or None after a timeout (the whole group is killed)."""
    p = subprocess.Popen(cmd, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                         text=True, start_new_session=True)
    try:
        out, _ = p.communicate(timeout=timeout)
        return p.returncode, out
    except subprocess.TimeoutExpired:
        os.killpg(p.pid, signal.SIGKILL)
        out, _ = p.communicate()
        return None, out
    except BaseException:
        os.killpg(p.pid, signal.SIGKILL)
        p.wait()
        raise


def build(bdir, targets, jobs):
    return run(["cmake", "--build", bdir, "-j", str(jobs), "--target"] + sorted(set(targets)))


def ctest_regex(bdir, exes):
    """A ctest -R regex for the tests the executables hold: whole suites where
    a suite lies in them only, single tests otherwise."""
    _, out = run(["ctest", "--show-only=json-v1"], cwd=bdir)
    owner = {}
    for t in json.loads(out)["tests"]:
        if t.get("command"):
            owner[t["name"]] = os.path.basename(t["command"][0])
    mine = sorted(n for n, exe in owner.items() if exe in exes)
    suites = {n.split(".")[0] for n in mine}
    shared = {n.split(".")[0] for n, exe in owner.items() if exe not in exes} & suites
    parts = sorted(re.escape(s) + r"\." for s in suites - shared)
    parts += [re.escape(n) + "$" for n in mine if n.split(".")[0] in shared]
    return "^(" + "|".join(parts) + ")", len(mine)


def ctest(bdir, regex, jobs, timeout):
    result = run(["ctest", "--output-on-failure", "--stop-on-failure", "-j", str(jobs), "-R", regex],
                 timeout=timeout, cwd=bdir)
    reap(bdir)
    return result


def reap(bdir):
    """A daemon-mode mtr_main leaves the process group on purpose; a mutant of
    it may never stop. Whatever still runs from the scratch build goes."""
    root = os.path.realpath(bdir) + os.sep
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            exe = os.readlink("/proc/%s/exe" % pid)
        except OSError:
            continue
        if exe.startswith(root):
            try:
                os.kill(int(pid), signal.SIGKILL)
            except OSError:
                pass


# ---------------------------------------------------------------- report

def report(results, args, commit, elapsed):
    stamp = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    lines = ["## %s, commit %s" % (stamp, commit), "",
             "seed %d, sample %d per folder, timeout %s, %d min" %
             (args.seed, args.sample, "%d s" % args.timeout if args.timeout else "auto",
              round(elapsed / 60)), "",
             "| folder | mutants | killed | survived | timed out | not compiling | score |",
             "|---|---|---|---|---|---|---|"]
    survivors = []
    for folder in sorted(results):
        rows = results[folder]
        count = {k: sum(1 for _, r in rows if r == k)
                 for k in ("killed", "survived", "timed out", "not compiling")}
        caught = count["killed"] + count["timed out"]
        judged = caught + count["survived"]
        score = "%d%%" % round(100 * caught / judged) if judged else "-"
        lines.append("| %s | %d | %d | %d | %d | %d | %s |" % (
            folder, len(rows), count["killed"], count["survived"], count["timed out"],
            count["not compiling"], score))
        survivors += [m.diff() for m, r in rows if r == "survived"]
    if survivors:
        lines += ["", "Survivors:", ""] + ["- " + s for s in survivors]
    return "\n".join(lines) + "\n"


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--sample", type=int, default=5, help="mutants per folder")
    ap.add_argument("--folders", default=",".join(FOLDERS))
    ap.add_argument("--timeout", type=int, default=0,
                    help="seconds per mutant's tests (0: three times the unmutated run + 30)")
    ap.add_argument("--jobs", type=int, default=2, help="ctest and build jobs")
    ap.add_argument("--results", default=os.path.join(ROOT, "tools/mutate/results.md"))
    ap.add_argument("--scratch", default=os.path.join(ROOT, "build-mutate"))
    ap.add_argument("--list", action="store_true", help="print the chosen mutants only")
    ap.add_argument("--recheck", metavar="LOG",
                    help="an earlier run's output: run again only the mutants it caught; "
                         "its other verdicts are carried over")
    args = ap.parse_args()

    folders = [f.strip().strip("/") for f in args.folders.split(",") if f.strip()]
    bad = [f for f in folders if f not in FOLDERS]
    if bad:
        ap.error("unknown folder(s): %s (choose from %s)" % (",".join(bad), ",".join(FOLDERS)))
    chosen = {f: choose(f, args.seed, args.sample) for f in folders}
    if args.list:
        for f in folders:
            print("# %s: %d mutants" % (f, len(chosen[f])))
            for m in chosen[f]:
                print("%-10s %s   [%s]" % (m.op, m.diff(), " ".join(tests_for(m.path))))
        return 0

    began = time.time()
    src, bdir = os.path.join(args.scratch, "src"), os.path.join(args.scratch, "build")
    sync_tree(src)
    if not os.path.isfile(os.path.join(bdir, "Makefile")):
        cmd = ["cmake", "-S", src, "-B", bdir, "-DCMAKE_BUILD_TYPE=RelWithDebInfo"]
        if shutil.which("ccache") and not os.environ.get("CMAKE_CXX_COMPILER_LAUNCHER"):
            cmd.append("-DCMAKE_CXX_COMPILER_LAUNCHER=ccache")
        status, out = run(cmd)
        if status != 0:
            sys.exit("configure failed:\n" + out[-3000:])
    every = sorted({t for ms in chosen.values() for m in ms for t in tests_for(m.path)})
    print("building %s" % " ".join(every), flush=True)
    status, out = build(bdir, every, args.jobs)
    if status != 0:
        sys.exit("the unmutated tree does not build:\n" + out[-3000:])

    # After a change to the tests only, the mutants an earlier run caught are
    # the ones a weaker suite could lose; its survivors stay survivors here,
    # so the score can only be understated.
    earlier = {}
    if args.recheck:
        with open(args.recheck, encoding="utf-8") as fh:
            for line in fh:
                for v in ("killed", "survived", "timed out", "not compiling"):
                    if line.startswith(v + " "):
                        earlier[line[13:].strip()] = v
    carried = 0

    results = {f: [] for f in folders}
    plans = {}
    for f in folders:
        for m in chosen[f]:
            exes = tuple(tests_for(m.path))
            if exes not in plans:
                # An earlier group's last mutant was put back after its build:
                # what this group shares with it is stale until rebuilt.
                status, out = build(bdir, exes, args.jobs)
                if status != 0:
                    sys.exit("the unmutated tree does not build:\n" + out[-3000:])
                regex, count = ctest_regex(bdir, exes)
                t0 = time.time()
                status, out = ctest(bdir, regex, args.jobs, 3600)
                took = time.time() - t0
                if status != 0:
                    sys.exit("the unmutated tests fail (%s):\n%s" % (" ".join(exes), out[-3000:]))
                limit = args.timeout or int(3 * took + 30)
                print("%s: %d tests, %.0f s unmutated, limit %d s" %
                      (" ".join(exes), count, took, limit), flush=True)
                plans[exes] = (regex, limit)
            regex, limit = plans[exes]
            if earlier.get(m.diff()) in ("survived", "not compiling"):
                results[f].append((m, earlier[m.diff()]))
                carried += 1
                print("%-13s %s   (carried over)" % (earlier[m.diff()], m.diff()), flush=True)
                continue
            target = os.path.join(src, m.path)
            with open(target, encoding="utf-8") as fh:
                original = fh.read()
            lines = original.split("\n")
            lines[m.line - 1] = m.new_line
            try:
                with open(target, "w", encoding="utf-8") as fh:
                    fh.write("\n".join(lines))
                status, out = build(bdir, exes, args.jobs)
                if status != 0 and "Error running test executable" in out:
                    verdict = "killed"  # the test executable failed to list its tests
                elif status != 0:
                    verdict = "not compiling"
                else:
                    status, _ = ctest(bdir, regex, args.jobs, limit)
                    verdict = "timed out" if status is None else "survived" if status == 0 else "killed"
            finally:
                with open(target, "w", encoding="utf-8") as fh:
                    fh.write(original)
            results[f].append((m, verdict))
            print("%-13s %s" % (verdict, m.diff()), flush=True)

    commit = git("rev-parse", "--short", "HEAD").strip()
    if git("status", "--porcelain", "--untracked-files=no").strip():
        commit += "+changes"
    table = report(results, args, commit, time.time() - began)
    if args.recheck:
        table += "\nRecheck of %s: %d verdicts carried over, not run again.\n" % (
            os.path.basename(args.recheck), carried)
    print()
    print(table)
    new = not os.path.exists(args.results)
    with open(args.results, "a", encoding="utf-8") as fh:
        if new:
            fh.write("# Mutation runs\n\nWritten by `make mutate` (tools/mutate/mutate.py); "
                     "newest run last.\n\n")
        fh.write(table + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
