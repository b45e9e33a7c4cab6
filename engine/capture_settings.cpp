#include "engine/capture_settings.h"

#include "base/settings.h"
#include "engine/channels.h"

int32_t ReadStoredPort()
{
    return ReadSettingInt(SETTINGS_INDEX, SETTINGS_KEY_PORT, SETTINGS_DEFAULT_PORT);
}

int32_t ReadStoredChannel()
{
    return StoredChannelOrFirst(ReadSettingInt(SETTINGS_INDEX, SETTINGS_KEY_CHANNEL, CHANNEL_FIRST));
}
