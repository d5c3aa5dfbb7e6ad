#pragma once

/// The value of BuildCount that this build compiled in.
int buildNumber();
