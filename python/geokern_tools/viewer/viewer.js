// The tileset served under /tiles/ on a plain globe: no imagery, no terrain,
// nothing fetched from outside this server.
//
// window.geokernViewer tells scripts driving the page how it went:
//   ready    true once every tile the view needs has loaded
//   errors   messages of everything that failed (also on the console)
//   tileset, viewer   the Cesium objects
//   frame()  a promise of the next rendered frame
const Cesium = window.Cesium;
const state = (window.geokernViewer = { ready: false, errors: [], tileset: null, viewer: null });
const status = document.getElementById("status");

function fail(message) {
  state.errors.push(message);
  console.error(message);
  status.textContent = message;
  status.className = "error";
}

function lightFrom(center) {
  // Sunlight from the south-east, 50 degrees up, whatever the hour.
  const frame = Cesium.Transforms.eastNorthUpToFixedFrame(center);
  const local = new Cesium.Cartesian3(-0.45, 0.45, -0.77);
  const direction = Cesium.Matrix4.multiplyByPointAsVector(frame, local, new Cesium.Cartesian3());
  return new Cesium.DirectionalLight({ direction: Cesium.Cartesian3.normalize(direction, direction) });
}

async function show() {
  const viewer = new Cesium.Viewer("globe", {
    baseLayer: false,
    baseLayerPicker: false,
    geocoder: false,
    homeButton: false,
    sceneModePicker: false,
    navigationHelpButton: false,
    animation: false,
    timeline: false,
    fullscreenButton: false,
    infoBox: false,
    selectionIndicator: false,
    terrainProvider: new Cesium.EllipsoidTerrainProvider(),
    requestRenderMode: true,
    maximumRenderTimeChange: Infinity,
  });
  state.viewer = viewer;
  const scene = viewer.scene;
  scene.globe.baseColor = Cesium.Color.fromCssColorString("#c9cfc1");
  state.frame = () =>
    new Promise((resolve) => {
      const done = scene.postRender.addEventListener(() => {
        done();
        resolve();
      });
      scene.requestRender();
    });

  const tileset = await Cesium.Cesium3DTileset.fromUrl("/tiles/tileset.json");
  state.tileset = tileset;
  tileset.tileFailed.addEventListener((event) => fail(`${event.url}: ${event.message}`));
  let loaded = 0;
  tileset.tileLoad.addEventListener(() => {
    loaded += 1;
    scene.requestRender(); // one more frame, so that the count below is seen
  });
  // Checked after every frame: a view that needs no tile never raises the
  // tileset's allTilesLoaded event.
  scene.postRender.addEventListener(() => {
    if (!tileset.tilesLoaded || state.errors.length) return;
    status.textContent = loaded
      ? `tileset.json: ${loaded} models loaded`
      : "tileset.json: no model near enough to show; zoom in";
    state.ready = true;
  });
  scene.primitives.add(tileset);

  const sphere = tileset.boundingSphere;
  scene.light = lightFrom(sphere.center);
  viewer.camera.viewBoundingSphere(
    sphere,
    new Cesium.HeadingPitchRange(Cesium.Math.toRadians(20), Cesium.Math.toRadians(-35), sphere.radius * 2.6),
  );
  viewer.camera.lookAtTransform(Cesium.Matrix4.IDENTITY);
  scene.requestRender();
}

show().catch((error) => fail(`tileset.json: ${error.message || error}`));
