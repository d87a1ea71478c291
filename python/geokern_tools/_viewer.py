"""`geokern view`: a tileset on a globe in the browser, served locally.

A small HTTP server on 127.0.0.1 serves three folders: the page itself
(`viewer/` beside this module) at /, CesiumJS (the npm package `cesium`,
its Build/Cesium folder) at /cesium/ and the tileset folder at /tiles/.
Nothing is fetched from elsewhere: the page shows a plain globe without
imagery or terrain.

CesiumJS is looked for in the folder given with --cesium, else in
$GEOKERN_CESIUM, else in the `cesium` package under $GEOKERN_NPM, under each
folder of $NODE_PATH and under ./node_modules.
"""
from __future__ import annotations

import errno
import os
import posixpath
import sys
from collections.abc import Callable
from http.server import SimpleHTTPRequestHandler, ThreadingHTTPServer
from importlib import resources
from pathlib import Path
from typing import Any
from urllib.parse import unquote, urlsplit

from geokern_tools._errors import DataError, UsageError

PAGE = Path(str(resources.files("geokern_tools") / "viewer"))
HOST = "127.0.0.1"
DEFAULT_PORT = 8000

_TYPES = {".glb": "model/gltf-binary", ".gltf": "model/gltf+json", ".json": "application/json",
          ".js": "text/javascript", ".mjs": "text/javascript", ".wasm": "application/wasm",
          ".ktx2": "image/ktx2", ".css": "text/css", ".html": "text/html; charset=utf-8"}


# ============================================================================
# Finding CesiumJS
# ============================================================================


def _cesium_build(folder: Path) -> Path | None:
    """The folder holding Cesium.js within `folder` (the npm package, its
    Build/Cesium folder or that folder itself), or None."""
    for candidate in (folder, folder / "Build" / "Cesium", folder / "cesium" / "Build" / "Cesium"):
        if (candidate / "Cesium.js").is_file() and (candidate / "Widgets").is_dir():
            return candidate
    return None


def find_cesium(explicit: str | None = None, environ: dict[str, str] | None = None) -> Path:
    """CesiumJS's Build/Cesium folder; UsageError naming the places
    searched when it is in none of them."""
    env = os.environ if environ is None else environ
    if explicit is not None:
        places = [("--cesium", Path(explicit))]
    elif env.get("GEOKERN_CESIUM"):
        places = [("GEOKERN_CESIUM", Path(env["GEOKERN_CESIUM"]))]
    else:
        places = [("GEOKERN_NPM", Path(env["GEOKERN_NPM"]) / "cesium")] if env.get("GEOKERN_NPM") \
            else []
        places += [("NODE_PATH", Path(p) / "cesium")
                   for p in env.get("NODE_PATH", "").split(os.pathsep) if p]
        places.append(("current folder", Path("node_modules") / "cesium"))
    for _, folder in places:
        found = _cesium_build(folder)
        if found is not None:
            return found.resolve()
    searched = "; ".join(f"{where}: {folder}" for where, folder in places)
    raise UsageError(f"CesiumJS not found (searched {searched}); install the npm package "
                     "cesium (npm install cesium) and give its folder with --cesium DIR or "
                     "the GEOKERN_CESIUM environment variable")


# ============================================================================
# Serving
# ============================================================================


class _Handler(SimpleHTTPRequestHandler):
    """Files of the page, /cesium/ and /tiles/; nothing else, no listings."""

    roots: dict[str, Path] = {}
    server_version = "geokern-view"

    def translate_path(self, path: str) -> str:
        # Never outside a root: the path is resolved (".." and links) and
        # must still lie within.
        parts = [p for p in unquote(urlsplit(path).path).split("/") if p not in ("", ".")]
        if any("\0" in p for p in parts):
            return ""
        if parts and parts[0] in self.roots:
            root, rest = self.roots[parts[0]], parts[1:]
        else:
            root, rest = self.roots[""], parts or ["index.html"]
        target = (root / posixpath.join(*rest)).resolve() if rest else root
        if not target.is_file() or not target.is_relative_to(root):
            return ""
        return str(target)

    def send_head(self) -> Any:
        if not self.translate_path(self.path):
            self.send_error(404, "not found")
            return None
        return super().send_head()

    def guess_type(self, path: str | os.PathLike[str]) -> str:
        return _TYPES.get(os.path.splitext(os.fspath(path))[1].lower()) or super().guess_type(path)

    def end_headers(self) -> None:
        # A tileset written again shows on the next reload.
        self.send_header("Cache-Control", "no-cache")
        super().end_headers()

    def log_message(self, format: str, *args: Any) -> None:
        pass  # one line per request would bury the URL

    def log_error(self, format: str, *args: Any) -> None:
        print(f"geokern view: {self.command} {self.path}: {format % args}", file=sys.stderr)


class _Server(ThreadingHTTPServer):
    daemon_threads = True

    def handle_error(self, request: Any, client_address: Any) -> None:
        # A browser that drops a connection mid-transfer is not an error.
        if not isinstance(sys.exc_info()[1], ConnectionError):
            super().handle_error(request, client_address)


def make_server(tiles: str | os.PathLike[str], port: int, cesium: Path) -> ThreadingHTTPServer:
    """A server (bound, not yet serving) of the page, CesiumJS and the
    tileset folder `tiles` on 127.0.0.1:`port` (0: any free port)."""
    folder = Path(tiles)
    if not (folder / "tileset.json").is_file():
        raise DataError(f"{os.fspath(tiles)}: no tileset.json in this folder")
    handler = type("Handler", (_Handler,), {"roots": {
        "": PAGE.resolve(), "cesium": cesium.resolve(), "tiles": folder.resolve()}})
    try:
        return _Server((HOST, port), handler)
    except OSError as exc:
        if exc.errno == errno.EADDRINUSE:
            raise DataError(f"port {port} on {HOST} is in use; pick another with --port "
                            "(0: any free port)") from None
        raise


def _print_now(text: str) -> None:
    print(text, flush=True)


def serve(tiles: str | os.PathLike[str], port: int = DEFAULT_PORT, cesium: str | None = None,
          announce: Callable[[str], None] = _print_now) -> None:
    """Serves the viewer of the tileset folder `tiles` until interrupted
    (KeyboardInterrupt comes through); `announce` gets the page's URL."""
    server = make_server(tiles, port, find_cesium(cesium))
    with server:
        announce(f"http://{HOST}:{server.server_address[1]}/")
        server.serve_forever()
