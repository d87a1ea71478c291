"""Adds the licences of the libraries that auditwheel copied into a wheel.

Usage (inside the build root): python tools/wheel_licences.py UNPACKED_WHEEL

auditwheel's bill of materials (<dist-info>/sboms/auditwheel.cdx.json) names
the Debian package of every library it bundled.  Each package's copyright
file goes into <dist-info>/licenses/bundled/<package>/copyright, with the
texts it refers to in /usr/share/common-licenses beside it, and METADATA
lists them (License-File) and widens License-Expression by the package's
licence.  A bundled package without a known licence stops the build: its
licence must be read and entered below first.
"""

import json
import pathlib
import re
import sys

# The SPDX expression of each package's code inside the bundled library
# (its copyright file also covers files that only its build uses).
LICENCES = {
    "libsleef3": "BSL-1.0",
    "libgomp1": "GPL-3.0-or-later WITH GCC-exception-3.1",
}
DOC = pathlib.Path("/usr/share/doc")
COMMON = pathlib.Path("/usr/share/common-licenses")


def bundled_packages(dist_info):
    bom = json.loads((dist_info / "sboms" / "auditwheel.cdx.json").read_text())
    return sorted({c["name"] for c in bom.get("components", [])
                   if c.get("purl", "").startswith("pkg:deb/")})


def add_licences(dist_info, packages):
    """Copies the licence texts; returns their paths below licenses/."""
    files = []
    for package in packages:
        text = (DOC / package / "copyright").read_text()
        target = pathlib.Path("bundled") / package
        # Debian's GPL is a link to GPL-3, and so on: each text once.
        referred = {(COMMON / name).resolve().name for name in
                    re.findall(r"/usr/share/common-licenses/([\w+-]+(?:\.[\w+-]+)*)", text)}
        for name in ["copyright", *sorted(referred)]:
            source = DOC / package / "copyright" if name == "copyright" else COMMON / name
            path = dist_info / "licenses" / target / name
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_bytes(source.read_bytes())
            files.append((target / name).as_posix())
    return files


def rewrite_metadata(metadata, packages, files):
    head, blank, body = metadata.read_text().partition("\n\n")
    lines = head.split("\n")
    for i, line in enumerate(lines):
        if line.startswith("License-Expression:"):
            terms = [line.split(":", 1)[1].strip(), *(LICENCES[p] for p in packages)]
            lines[i] = "License-Expression: " + " AND ".join(terms)
    last = max(i for i, line in enumerate(lines)
               if line.startswith(("License-File:", "License-Expression:")))
    lines[last + 1:last + 1] = [f"License-File: {f}" for f in files]
    metadata.write_text("\n".join(lines) + blank + body)


def main(unpacked):
    (dist_info,) = pathlib.Path(unpacked).glob("*.dist-info")
    packages = bundled_packages(dist_info)
    unknown = [p for p in packages if p not in LICENCES]
    if unknown:
        sys.exit(f"tools: the wheel bundles {', '.join(unknown)}, whose licence "
                 "tools/wheel_licences.py does not know yet")
    rewrite_metadata(dist_info / "METADATA", packages, add_licences(dist_info, packages))
    print("bundled:", ", ".join(f"{p} ({LICENCES[p]})" for p in packages))


if __name__ == "__main__":
    main(sys.argv[1])
