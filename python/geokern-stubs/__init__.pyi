# Type stubs of the geokern extension module (placeholder).
