"""tools/wheel_licences.py on a made-up unpacked wheel and Debian doc tree."""

import json
import sys

import pytest

from shared import checkout

sys.path.insert(0, str(checkout() / "tools"))
import wheel_licences  # noqa: E402

METADATA = ("Metadata-Version: 2.4\nName: geokern\nLicense-Expression: BSD-3-Clause\n"
            "License-File: LICENSE\nClassifier: Typing :: Typed\n\n# geokern\n\nLicense: body\n")


@pytest.fixture
def wheel(tmp_path, monkeypatch):
    """An unpacked wheel whose bill of materials names `packages`."""
    docs, common = tmp_path / "doc", tmp_path / "common-licenses"
    common.mkdir()
    (common / "GPL-3").write_text("GPL-3 text")
    (common / "GPL").symlink_to("GPL-3")
    for package, text in [("libsleef3", "License: BSL-1.0\n"),
                          ("libgomp1", "see /usr/share/common-licenses/GPL and\n"
                                       "/usr/share/common-licenses/GPL-3.\n")]:
        (docs / package).mkdir(parents=True)
        (docs / package / "copyright").write_text(text)
    monkeypatch.setattr(wheel_licences, "DOC", docs)
    monkeypatch.setattr(wheel_licences, "COMMON", common)

    def make(*packages):
        dist_info = tmp_path / "geokern-0.1.0" / "geokern-0.1.0.dist-info"
        (dist_info / "sboms").mkdir(parents=True)
        (dist_info / "METADATA").write_text(METADATA)
        components = [{"name": "geokern", "purl": "pkg:pypi/geokern@0.1.0"}]
        components += [{"name": p, "purl": f"pkg:deb/debian/{p}@1"} for p in packages]
        (dist_info / "sboms" / "auditwheel.cdx.json").write_text(
            json.dumps({"components": components}))
        return dist_info
    return make


def test_bundled_licences_are_added_and_listed(wheel):
    dist_info = wheel("libsleef3", "libgomp1")
    wheel_licences.main(dist_info.parent)
    licences = dist_info / "licenses" / "bundled"
    assert sorted(p.relative_to(licences).as_posix() for p in licences.rglob("*")
                  if p.is_file()) == ["libgomp1/GPL-3", "libgomp1/copyright",
                                      "libsleef3/copyright"]
    assert (licences / "libgomp1" / "GPL-3").read_text() == "GPL-3 text"
    assert (dist_info / "METADATA").read_text() == (
        "Metadata-Version: 2.4\nName: geokern\n"
        "License-Expression: BSD-3-Clause AND GPL-3.0-or-later WITH GCC-exception-3.1"
        " AND BSL-1.0\nLicense-File: LICENSE\nLicense-File: bundled/libgomp1/copyright\n"
        "License-File: bundled/libgomp1/GPL-3\nLicense-File: bundled/libsleef3/copyright\n"
        "Classifier: Typing :: Typed\n\n# geokern\n\nLicense: body\n")


def test_a_package_of_unknown_licence_stops_the_build(wheel):
    dist_info = wheel("libsleef3", "libfoo2")
    with pytest.raises(SystemExit, match="bundles libfoo2, whose licence"):
        wheel_licences.main(dist_info.parent)
    assert (dist_info / "METADATA").read_text() == METADATA
