"""What tools/restyle.py converts and tools/lint.py checks: the project's C/C++
files, their translation units, and clang-tidy runs over them."""
import concurrent.futures
import glob
import json
import os
import re
import shlex
import shutil
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CXX_SUFFIXES = (".cpp", ".cc", ".cxx", ".h", ".hh", ".hpp")
# Not the project's to restyle: third-party and generated trees, fuzz inputs.
SKIP_PREFIXES = ("build/", "dist/", ".venv", ".stamps/", "fuzz/corpus/")
# Public C headers (an include/ directory, extern "C"): the Cronet C API and the
# test controls, kept exactly as they are.
PUBLIC_DIR = re.compile(r"(^|/)include/")


def public_header(path):
    if not PUBLIC_DIR.search(path):
        return False
    with open(os.path.join(ROOT, path), encoding="utf-8", errors="replace") as fh:
        return 'extern "C"' in fh.read()
SHIM = os.path.join(ROOT, "tools/clang-tidy/source_location.h")


def tool(name):
    """clang-tidy, clang-format, ... from PATH, else Debian's versioned name."""
    for candidate in (name, name + "-14"):
        path = shutil.which(candidate)
        if path:
            return path
    sys.exit(f"{name} not found (Debian packages clang-tidy, clang-format, clang-tools-14)")


def git_files():
    """Tracked and untracked, not ignored files, relative to ROOT."""
    out = subprocess.run(["git", "ls-files", "-co", "--exclude-standard", "-z"], cwd=ROOT,
                         check=True, capture_output=True).stdout.decode()
    return sorted(f for f in out.split("\0") if f and os.path.isfile(os.path.join(ROOT, f)))


def project_file(path):
    return not path.startswith(SKIP_PREFIXES)


def cxx_files(include_public=False):
    """The project's C/C++ sources and headers (relative paths)."""
    return [f for f in git_files() if f.endswith(CXX_SUFFIXES) and project_file(f)
            and (include_public or not public_header(f))]


def sources(files):
    return [f for f in files if not f.endswith((".h", ".hh", ".hpp"))]


def headers(files):
    return [f for f in files if f.endswith((".h", ".hh", ".hpp"))]


GUARD_OPEN = re.compile(r"#[ \t]*ifndef[ \t]+(\w+)[ \t]*\n[ \t]*#[ \t]*define[ \t]+(\w+)[ \t]*\n")
GUARD_CLOSE = re.compile(r"\n#\s*endif\b[^\n]*\n?\s*\Z")


def find_include_guard(text):
    """(macro, start, end) of a classic include guard, else None. The guard must
    open before any code (only comments and blank lines above it) and close the file."""
    pos = 0
    while True:
        m = re.compile(r"[ \t]*(//[^\n]*)?\n|\s*/\*.*?\*/[ \t]*\n?", re.S).match(text, pos)
        if not m or m.end() == pos:
            break
        pos = m.end()
    m = GUARD_OPEN.match(text, pos)
    if not m or m.group(1) != m.group(2):
        return None
    close = GUARD_CLOSE.search(text)
    if not close or close.start() < m.end():
        return None
    macro = m.group(1)
    # Used for anything else (a test of it elsewhere in the file)? Then leave it.
    if len(re.findall(r"\b%s\b" % re.escape(macro), text)) > 2 + close.group(0).count(macro):
        return None
    return macro, m, close


def compile_units(db_dir):
    """Entries of db_dir/compile_commands.json, one per project source file, plus
    the sources CMake does not build: the fuzz targets (built by fuzz/run.sh with
    the pure library's flags), bench programs and Windows-only files."""
    with open(os.path.join(db_dir, "compile_commands.json")) as f:
        db = json.load(f)
    units = {}
    for e in db:
        path = os.path.relpath(os.path.join(e["directory"], e["file"]), ROOT)
        if project_file(path) and path not in units:
            units[path] = e
    template = None
    for path, e in units.items():
        if re.match(r"src/cronet_curl/[^/]+\.(cc|cpp)$", path):
            template = e
            break
    core = next((e for p, e in units.items() if re.match(r"src/cronet/[^/]+\.cpp$", p)), None)
    for path in sources(cxx_files()):
        if path in units:
            continue
        if path.startswith("fuzz/") and template:
            base = template
        elif path.startswith("src/cronet/") and core:
            base = core
        elif path.startswith("bench/") and core:
            base = core
        else:
            continue
        args = command_args(base)
        args = [a for a in args if a not in ("-Werror",)]
        out = [args[0]] + [a for a in args[1:-1] if not a.endswith(os.path.basename(base["file"]))
                           and not a.endswith(".o")]
        out += [os.path.join(ROOT, path)]
        if path.endswith("_win.cpp"):
            out += windows_flags()
        units[path] = {"directory": base["directory"], "file": os.path.join(ROOT, path),
                       "arguments": out}
    return units


def windows_flags():
    """clang reads Windows-only files as the mingw-w64 build compiles them."""
    flags = ["--target=x86_64-w64-mingw32", "-D_WIN32_WINNT=0x0A00", "-nostdinc++"]
    for cxx in sorted(glob.glob("/usr/lib/gcc/x86_64-w64-mingw32/*-posix/include/c++"))[-1:]:
        flags += ["-isystem", cxx, "-isystem", cxx + "/x86_64-w64-mingw32",
                  "-isystem", cxx + "/backward"]
    return flags


def command_args(entry):
    if "arguments" in entry:
        return list(entry["arguments"])
    return shlex.split(entry["command"])


def write_db(units, db_dir):
    os.makedirs(db_dir, exist_ok=True)
    entries = []
    for e in units.values():
        args = command_args(e)
        # -o/-c pairs are of no use to clang-tidy; keep the flags and the file.
        clean, skip = [], False
        for a in args:
            if skip:
                skip = False
                continue
            if a in ("-o", "-MF", "-MT", "-MQ"):
                skip = True
                continue
            if a in ("-c", "-MD", "-MMD"):
                continue
            clean.append(a)
        clean[1:1] = ["-include", SHIM]
        entries.append({"directory": e["directory"], "file": e["file"], "arguments": clean})
    with open(os.path.join(db_dir, "compile_commands.json"), "w") as f:
        json.dump(entries, f, indent=1)


def run_tidy(db_dir, files, jobs, extra=(), export_dir=None):
    """clang-tidy over files, jobs at a time. Returns [(file, returncode, output)]."""
    tidy = tool("clang-tidy")

    def one(i_file):
        i, path = i_file
        cmd = [tidy, "-p", db_dir, "--quiet", *extra]
        if export_dir:
            cmd.append(f"--export-fixes={os.path.join(export_dir, f'{i:04d}.yaml')}")
        cmd.append(os.path.join(ROOT, path))
        r = subprocess.run(cmd, cwd=ROOT, capture_output=True, text=True)
        return path, r.returncode, r.stdout + r.stderr

    with concurrent.futures.ThreadPoolExecutor(max_workers=jobs) as pool:
        return list(pool.map(one, enumerate(files)))
