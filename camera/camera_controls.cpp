// Camera controls.
#include "camera/camera_controls.h"

LONG frameTimeoutMs = 3000;
