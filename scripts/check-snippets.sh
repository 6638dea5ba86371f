#!/usr/bin/env bash
# Checks that every code block of docs/ that names its source file,
#   <!-- snippet: examples/snippets/dispatch.cpp -->
#   ```cpp
#   ...the whole file...
#   ```
# shows that file exactly as it is, so the guide never drifts from code
# that CI compiles.
#   scripts/check-snippets.sh [DOCS_DIR]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
python3 - "$root" "${1:-$root/docs}" <<'PY'
import pathlib, re, sys
root, docs = pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2])
marker = re.compile(r"^<!-- snippet: (\S+) -->$")
checked, errors = 0, []
for page in sorted(docs.glob("*.md")):
    lines = page.read_text(encoding="utf-8").split("\n")
    for number, line in enumerate(lines):
        match = marker.match(line)
        if not match:
            continue
        where = f"{page.name}:{number + 1}"
        if number + 1 >= len(lines) or not lines[number + 1].startswith("```"):
            errors.append(f"{where}: the marker is not followed by a code block")
            continue
        try:
            end = lines.index("```", number + 2)
        except ValueError:
            errors.append(f"{where}: the code block is not closed")
            continue
        source = root / match.group(1)
        if not source.is_file():
            errors.append(f"{where}: {match.group(1)} does not exist")
            continue
        shown = "\n".join(lines[number + 2:end]) + "\n"
        if shown != source.read_text(encoding="utf-8"):
            errors.append(f"{where}: the block differs from {match.group(1)}")
        checked += 1
for error in errors:
    print("check-snippets:", error)
if not errors:
    print(f"check-snippets: OK ({checked} blocks)")
sys.exit(1 if errors else 0)
PY
