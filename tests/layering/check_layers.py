#!/usr/bin/env python3
"""Fails when a module includes or links a module above it in the module order.

Usage: check_layers.py SOURCE_DIR

Each module may use itself and the modules it lists as allowed below. A quoted include
"folder/file.h" names the module `folder`; a CMake dependency pelto_<name> names module <name>
(pelto_gui is app/gui's library, test-only helper libraries such as pelto_net_testing count as
their module). Prints every violation with file and line, exits 1 if there is any.
"""
import pathlib
import re
import sys

ORDER = ["base", "crypto", "net", "system", "proxy", "tun", "engine", "ui", "app"]
# The toolkit sits beside the order on base alone; the application's screens build on it.
BESIDE = {"d2dui": ["base"], "components": ["base", "d2dui"]}


def allowed(module):
    if module in BESIDE:
        return set(BESIDE[module]) | {module}
    below = set(ORDER[: ORDER.index(module) + 1])
    if ORDER.index(module) >= ORDER.index("ui"):
        below |= set(BESIDE)
    return below


# Libraries named apart from their folder; the embedded resources are data, not a module.
LIBRARY_MODULE = {"gui": "app", "resources": None, "endpoint_document": None}


def library_module(name):
    name = re.sub(r"_(testing)$", "", name)
    return LIBRARY_MODULE.get(name, name)


INCLUDE = re.compile(r'^\s*#\s*include\s+"([a-z0-9_]+)/')
DEPENDENCY = re.compile(r"\bpelto_([a-z0-9_]+)\b")


def main():
    root = pathlib.Path(sys.argv[1])
    known = set(ORDER) | set(BESIDE)
    problems = []
    for module in sorted(known):
        folder = root / module
        if not folder.is_dir():
            problems.append(f"{module}/: module folder missing")
            continue
        ok = allowed(module)
        for path in sorted(folder.rglob("*")):
            if path.suffix in (".h", ".cpp", ".c"):
                for number, line in enumerate(path.read_text(encoding="utf-8").splitlines(), 1):
                    match = INCLUDE.match(line)
                    if match and match.group(1) in known and match.group(1) not in ok:
                        problems.append(f"{path.relative_to(root)}:{number}: includes {match.group(1)}/ "
                                        f"from {module}/")
            elif path.name == "CMakeLists.txt":
                text = re.sub(r"#.*", "", path.read_text(encoding="utf-8"))
                for match in DEPENDENCY.finditer(text):
                    used = library_module(match.group(1))
                    if used in known and used not in ok:
                        number = text.count("\n", 0, match.start()) + 1
                        problems.append(f"{path.relative_to(root)}:{number}: depends on pelto_{match.group(1)} "
                                        f"from {module}/")
    for problem in problems:
        print(problem)
    if problems:
        print(f"{len(problems)} dependencies run against the module order {' <- '.join(ORDER)}")
        return 1
    print(f"module order holds: {' <- '.join(ORDER)} (d2dui <- components beside, on base)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
