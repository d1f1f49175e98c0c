#pragma once
#include <cstdint>

// The display backlight on "/dev/disp", opened for each change. System
// settings reach it through Copperwren::Singleton<CBrightness>.
class CBrightness {
public:
    // Sets the backlight from the user's level (0 to 100), mapped onto the
    // hardware's 5 to 252. False when the display device cannot be opened.
    bool BrightnessSet(int32_t value);
};
