#pragma once
// The code page lives in core/zqCodePage.h now (streams and stored values need it); this path
// only forwards to it until its last includes change. New code includes the core header.

#include "core/zqCodePage.h"
