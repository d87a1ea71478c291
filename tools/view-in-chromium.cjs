// Opens a `geokern view` page in headless Chromium (Debian's, driven by the
// npm package playwright-core), waits until its tileset has loaded and takes
// screenshots.  Used by the viewer test and by examples/city_block_view.py.
//
// Usage: node tools/view-in-chromium.cjs '{"url": ..., "shot": "a.png", ...}'
//   url        the page
//   shot       PNG of the view once loaded
//   bare       (optional) PNG of the same view with the tileset hidden
//   width, height   window size in pixels (default 480 x 360)
//   points     (optional) lists of ECEF points; their screen rectangles
//              [left, top, right, bottom] come back as "rects"
//   timeout    milliseconds to wait for the tileset (default 240000)
// Prints one JSON object: ready, loaded (all tiles of the view loaded when
// ready), errors (page errors, console errors, failed requests), rects,
// seconds.
"use strict";
const { chromium } = require("playwright-core");

const ARGS = [
  "--no-sandbox", "--disable-background-networking", "--disable-component-update",
  "--disable-sync", "--no-first-run", "--disable-quic",
  "--use-angle=swiftshader", "--enable-unsafe-swiftshader", "--ignore-gpu-blocklist",
];

async function main() {
  const job = JSON.parse(process.argv[2]);
  const width = job.width || 480;
  const height = job.height || 360;
  const errors = [];
  const started = Date.now();
  // launch() gives the browser a fresh profile folder of its own and removes it.
  const browser = await chromium.launch({
    executablePath: process.env.GEOKERN_CHROMIUM || "/usr/bin/chromium", args: ARGS,
  });
  const result = { ready: false, loaded: false, errors, rects: null, seconds: 0 };
  try {
    const page = await browser.newPage({ viewport: { width, height }, deviceScaleFactor: 1 });
    page.on("console", (message) => {
      if (message.type() === "error") errors.push(`console: ${message.text()}`);
    });
    page.on("pageerror", (error) => errors.push(`page: ${error.message}`));
    page.on("requestfailed", (request) =>
      errors.push(`request: ${request.url()}: ${request.failure().errorText}`));
    page.on("response", (response) => {
      if (response.status() >= 400) errors.push(`response: ${response.url()}: ${response.status()}`);
    });
    await page.goto(job.url);
    await page.waitForFunction(
      () => window.geokernViewer && (window.geokernViewer.ready || window.geokernViewer.errors.length),
      null, { timeout: job.timeout || 240000, polling: 250 });
    // Whether the tiles of the view had all loaded when the page said ready.
    [result.ready, result.loaded] = await page.evaluate(
      () => [window.geokernViewer.ready, window.geokernViewer.tileset.tilesLoaded]);
    const settle = () => page.evaluate(async () => {
      await window.geokernViewer.frame();
      await window.geokernViewer.frame();
    });
    await settle();
    await page.screenshot({ path: job.shot });
    if (job.points) {
      result.rects = await page.evaluate((lists) => {
        const { Cesium, geokernViewer } = window;
        return lists.map((points) => {
          const xs = [], ys = [];
          for (const [x, y, z] of points) {
            const at = Cesium.SceneTransforms.worldToWindowCoordinates(
              geokernViewer.viewer.scene, new Cesium.Cartesian3(x, y, z));
            if (at) { xs.push(at.x); ys.push(at.y); }
          }
          return xs.length ? [Math.min(...xs), Math.min(...ys), Math.max(...xs), Math.max(...ys)] : null;
        });
      }, job.points);
    }
    if (job.bare) {
      await page.evaluate(() => { window.geokernViewer.tileset.show = false; });
      await settle();
      await page.screenshot({ path: job.bare });
    }
  } finally {
    await browser.close();
  }
  result.seconds = (Date.now() - started) / 1000;
  process.stdout.write(JSON.stringify(result) + "\n");
}

main().catch((error) => {
  process.stderr.write(`${error.stack || error}\n`);
  process.exit(1);
});
