// The stored choices a capture starts from, read the same way by every face.
#pragma once

#include <cstdint>

// The stored port (SETTINGS_DEFAULT_PORT when none is stored).
int32_t ReadStoredPort();
// The stored channel; one outside 11..26 stands for the first, as the
// channel box shows it.
int32_t ReadStoredChannel();
