# System libraries the library itself links. Each area that needs one adds it here.
