#pragma once
// The build stamp the positioner shows in its "Created: %s" line.
#define VARNOLD_BUILD_STAMP "2019-20-12 16:52:50"
